// A domain's list as other writers store it, one value named from many
// places, is the user's settings: it opens whole, is never set aside, and
// a change writes it back no larger.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_manager.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::Value;

void appendBE(ns::Data& out, uint64_t v, size_t size) {
    for (size_t i = size; i-- > 0;) out.push_back(uint8_t(v >> (8 * i)));
}

void marker(ns::Data& out, uint8_t type, size_t count) {
    if (count < 15) {
        out.push_back(uint8_t(type << 4 | count));
        return;
    }
    out.push_back(uint8_t(type << 4 | 0xF));
    out.push_back(0x11);
    appendBE(out, count, 2);
}

// {"username": "ana", "history": [url] * times} with the address stored
// once, as plistlib writes it: objects 0 the dictionary, 1-2 its keys, 3 the
// name, 4 the array, 5 the address.
ns::Data historyList(const std::string& url, size_t times) {
    std::vector<ns::Data> objects(6);
    marker(objects[0], 0xD, 2);
    objects[0].insert(objects[0].end(), {1, 2, 3, 4});
    for (auto [index, text] : {std::pair<size_t, std::string>{1, "username"}, {2, "history"}, {3, "ana"}, {5, url}}) {
        marker(objects[index], 0x5, text.size());
        objects[index].insert(objects[index].end(), text.begin(), text.end());
    }
    marker(objects[4], 0xA, times);
    objects[4].insert(objects[4].end(), times, 5);
    ns::Data list{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    std::vector<uint64_t> offsets;
    for (const ns::Data& object : objects) {
        offsets.push_back(list.size());
        list.insert(list.end(), object.begin(), object.end());
    }
    const uint64_t table = list.size();
    for (uint64_t offset : offsets) appendBE(list, offset, 4);
    list.insert(list.end(), 6, 0);
    list.push_back(4);  // offsets
    list.push_back(1);  // references
    appendBE(list, objects.size(), 8);
    appendBE(list, 0, 8);
    appendBE(list, table, 8);
    return list;
}

TEST(UserDefaultsSharedList, AListNamingOneValueFromManyPlacesOpensWholeAndIsKept) {
    const std::string url = "https://www.almavel.com.pa/productos/buscar?texto=refrigeradora&tienda=central";
    for (size_t times : {size_t(2), size_t(5000), size_t(60000)}) {
        ns::testing::TempSandbox temp;
        const std::string folder = temp.sandbox()->preferencesPath();
        const ns::Data written = historyList(url, times);
        ASSERT_TRUE(ns::FileManager().writeData(folder + "/almavel.plist", written));

        auto defaults = ns::UserDefaults::standard();
        EXPECT_EQ(defaults->stringForKey("username"), "ana") << times;
        const Value history = defaults->objectForKey("history");
        ASSERT_TRUE(history.isArray()) << times;
        ASSERT_EQ(history.asArray().size(), times);
        EXPECT_EQ(history.asArray().back(), Value(url));

        defaults->setObject(Value("ana.perez"), "username");
        ASSERT_TRUE(defaults->synchronize());
        const auto names = *ns::FileManager().contentsOfDirectory(folder);
        EXPECT_EQ(names, std::vector<std::string>{"almavel.plist"}) << "nothing set aside, " << times;
        const ns::Data after = *ns::FileManager().readData(folder + "/almavel.plist");
        EXPECT_LE(after.size(), 2 * written.size()) << times;
        EXPECT_EQ(defaults->objectForKey("history"), history);
    }
}

}  // namespace
