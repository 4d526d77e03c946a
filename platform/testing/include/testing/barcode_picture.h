#pragma once
// Barcode pictures for tests, drawn by the zint program (Debian package
// zint) as PNG bytes: what a camera would see on a product's label.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/value.h"

namespace ns::testing {

// `symbology` is zint's name ("EANX", "UPCA", "UPCE", "CODE128", "CODE39",
// "QRCODE", "PDF417", "AZTEC", ...). Empty Data when zint failed.
inline Data barcodePicture(const std::string& symbology, const std::string& text, int scale = 2) {
    char dir[] = "/tmp/almavel-barcode-XXXXXX";
    if (!mkdtemp(dir)) return {};
    const std::string path = std::string(dir) + "/code.png";
    // The text goes through a file so no shell quoting can change it.
    const std::string input = std::string(dir) + "/text";
    {
        std::ofstream(input, std::ios::binary) << text;
    }
    const std::string command = "zint --quiet -b " + symbology + " --scale=" + std::to_string(scale) +
                                " --whitesp=10 --vwhitesp=10 -i '" + input + "' -o '" + path + "' >/dev/null 2>&1";
    Data bytes;
    if (std::system(command.c_str()) == 0) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        const std::string s = out.str();
        bytes.assign(s.begin(), s.end());
    }
    std::remove(path.c_str());
    std::remove(input.c_str());
    rmdir(dir);
    return bytes;
}

}  // namespace ns::testing
