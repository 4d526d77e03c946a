#pragma once
// Security framework keychain stand-in: generic passwords and keys, with the
// SecItem operations (add, copy matching, update, delete) over dictionaries
// of attributes.
//
// Items live in one file, mode 0600, at the sandbox's keychain path (outside
// the app's home). Every change is written atomically before the call
// returns; a change that can't be written is undone and reported.
//
// The file is sealed, so that a phone's keychain never hands back bytes
// changed outside it:
//   bytes 0-7     "KEYCHN2\n" (4B 45 59 43 48 4E 32 0A)
//   bytes 8..n-33 a binary property list: a dictionary of exactly
//                 "version" = 2 (integer) and "items" = an array of
//                 dictionaries {"attributes": the item's attributes with
//                 kSecClass, "data": its kSecValueData}
//   last 32 bytes SHA-256 of every byte before them (header and list)
// A file written before sealing (a bare binary property list of exactly
// "version" = 1 and "items", as above) is read as it is and sealed by the
// next change. The header differs from "bplist00" at every position, so no
// single changed byte turns a sealed file into an unsealed-looking one.
//
// A corrupt file (one that reads but holds no keychain: cut short,
// overwritten, emptied, a sealed one whose digest does not match, an unsealed
// one holding anything but those two keys) is set aside beside itself
// (FileManager::setAside: "keychain.plist.damaged", "-2", ...), logged, and
// the keychain goes on empty; only if it cannot be moved does every operation
// fail with errSecDecode. A file that can't be read at all (no permission,
// a directory in its place) is never touched: every operation fails with
// errSecIO and a message naming the file.
//
// Thread-safe; objects on the same file (in this or another process) see each
// other's changes, and read-modify-write cycles are serialised with a lock
// file next to the keychain.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"

namespace ns {

using OSStatus = int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecIO = -36;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

// Attribute and query keys.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecClassKey = "keys";

inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecAttrLabel = "labl";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrAccessible = "pdmn";
inline constexpr const char* kSecAttrSynchronizable = "sync";
inline constexpr const char* kSecAttrCreationDate = "cdat";
inline constexpr const char* kSecAttrModificationDate = "mdat";

inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "ak";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "ck";
inline constexpr const char* kSecAttrAccessibleAlways = "dk";
inline constexpr const char* kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly = "akpu";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "aku";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly = "cku";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "dku";

inline constexpr const char* kSecAttrApplicationTag = "atag";
inline constexpr const char* kSecAttrApplicationLabel = "klbl";
inline constexpr const char* kSecAttrKeyClass = "kcls";
inline constexpr const char* kSecAttrKeyClassPublic = "0";
inline constexpr const char* kSecAttrKeyClassPrivate = "1";
inline constexpr const char* kSecAttrKeyClassSymmetric = "2";
inline constexpr const char* kSecAttrKeyType = "type";
inline constexpr const char* kSecAttrKeyTypeRSA = "42";
inline constexpr const char* kSecAttrKeySizeInBits = "bsiz";
inline constexpr const char* kSecAttrIsPermanent = "perm";

// The item's secret: the password bytes, or the key's DER bytes.
inline constexpr const char* kSecValueData = "v_Data";

inline constexpr const char* kSecReturnData = "r_Data";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecMatchLimitAll = "m_LimitAll";

class Keychain {
public:
    enum class Operation { Any, Add, CopyMatching, Update, Delete };

    // The current sandbox's keychain (one object per sandbox).
    static std::shared_ptr<Keychain> shared();

    // A keychain on `path`; the file is read on first use. `accessGroups`:
    // the entitled keychain access groups; empty means any group may be used.
    explicit Keychain(std::string path, std::vector<std::string> accessGroups = {});
    ~Keychain();

    const std::string& path() const { return path_; }

    // SecItemAdd. `attributes` holds kSecClass, the item attributes and
    // kSecValueData; with kSecReturnData / kSecReturnAttributes, *result gets
    // the new item as copyMatching would return it.
    OSStatus add(const Dictionary& attributes, Value* result = nullptr);
    // SecItemCopyMatching. Matches items of kSecClass whose attributes equal
    // every attribute in the query. *result: the data (kSecReturnData), the
    // attributes (kSecReturnAttributes; with kSecValueData when both are
    // asked), or for kSecMatchLimitAll an array of those. With neither return
    // key, only the status says whether something matched.
    OSStatus copyMatching(const Dictionary& query, Value* result = nullptr);
    // SecItemUpdate: sets `attributesToUpdate` (attributes and/or
    // kSecValueData) on every match.
    OSStatus update(const Dictionary& query, const Dictionary& attributesToUpdate);
    // SecItemDelete: removes every match.
    OSStatus remove(const Dictionary& query);

    // Makes the next `count` calls of `operation` (every operation for Any)
    // fail with `status` without touching anything; count -1 means until
    // cleared.
    void injectFailure(OSStatus status, int count = -1, Operation operation = Operation::Any);
    void clearInjectedFailures();

    // Why the last call failed, naming the file where it is about the file;
    // empty after a success.
    std::string lastErrorMessage() const;

private:
    struct Impl;
    std::string path_;
    std::unique_ptr<Impl> impl_;
};

OSStatus SecItemAdd(const Dictionary& attributes, Value* result = nullptr);
OSStatus SecItemCopyMatching(const Dictionary& query, Value* result);
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const Dictionary& query);

// A short English text for a status, e.g. "The specified item could not be
// found in the keychain."
std::string SecCopyErrorMessageString(OSStatus status);

}  // namespace ns
