#include "platform/mime_types.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace ns {

namespace {

std::string lowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

using Table = std::unordered_map<std::string, std::string>;

// What the registry answers for the common kinds of file even on a system
// without mime.types.
void addFallbacks(Table& table) {
    static const std::pair<const char*, const char*> kCommon[] = {
        {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},      {"png", "image/png"},
        {"gif", "image/gif"},        {"heic", "image/heic"},      {"tif", "image/tiff"},
        {"tiff", "image/tiff"},      {"bmp", "image/bmp"},        {"txt", "text/plain"},
        {"html", "text/html"},       {"htm", "text/html"},        {"css", "text/css"},
        {"csv", "text/csv"},         {"json", "application/json"}, {"pdf", "application/pdf"},
        {"zip", "application/zip"},  {"gz", "application/gzip"},  {"xml", "application/xml"},
        {"js", "application/javascript"}, {"mp4", "video/mp4"},   {"mov", "video/quicktime"},
        {"mp3", "audio/mpeg"},       {"m4a", "audio/mp4"},        {"wav", "audio/wav"},
    };
    for (const auto& [ext, type] : kCommon) table.emplace(ext, type);
}

const Table& table() {
    static const Table* loaded = [] {
        auto* t = new Table;
        std::ifstream in("/etc/mime.types");
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream words(line);
            std::string type, ext;
            if (!(words >> type)) continue;
            // The first type listing an extension is its preferred one.
            while (words >> ext) t->emplace(lowerCase(ext), type);
        }
        addFallbacks(*t);
        return t;
    }();
    return *loaded;
}

}  // namespace

std::optional<std::string> mimeTypeForExtension(std::string_view extension) {
    if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
    if (extension.empty()) return std::nullopt;
    const Table& t = table();
    auto it = t.find(lowerCase(extension));
    if (it == t.end()) return std::nullopt;
    return it->second;
}

}  // namespace ns
