#include "analytics/QRVAUtilities.h"

#include <algorithm>

#include "analytics/QRVAMonitor.h"
#include "platform/file_manager.h"
#include "platform/utf8.h"

// MARK: - File paths

std::string QRVAFilePathForDatabaseName(const std::string& name) {
    if (name.empty()) return "";
    std::string directory = ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport);
    if (directory.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 19001, "NSSearchPath for ApplicationSupport directory is empty");
        return "";
    }
    return directory + "/" + kQRVAMeasurementApplicationSupportSubdirectory + "/" + name;
}

std::string QRVAFilePathForPreferencesName(const std::string& name) {
    if (name.empty()) return "";
    std::string directory = ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::Library);
    if (directory.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 19000, "NSSearchPath for Library directory is empty");
        return "";
    }
    return directory + "/Preferences/" + name + ".plist";
}

bool QRVAExcludeFilePathFromBackup(const std::string& path, ns::ErrorRef* error) {
    return ns::FileManager::defaultManager().setExcludedFromBackup(path, true, error);
}

bool QRVADeleteDatabaseFile(const std::string& name, ns::ErrorRef* error) {
    if (name.empty()) {
        QRVASetError(error, 1, "Received empty name for deleting database file");
        return false;
    }
    return ns::FileManager::defaultManager().removeItem(QRVAFilePathForDatabaseName(name), error);
}

// MARK: - Code points

size_t qrva_UTF32Length(std::string_view text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++count) i += std::max<size_t>(ns::utf8::sequenceLength(text, i), 1);
    return count;
}
