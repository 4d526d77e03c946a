#pragma once
// The signed-in user's password, kept for the automatic sign-in at the next
// launch. It lives in the keychain stand-in (one generic-password item of
// the app, for the e-mail address it belongs to, readable only on this
// device after the first unlock), never in user defaults, which are a plain
// file anyone with a backup can read.
//
// Main thread only (the screens; checked in Debug): saving is a removal
// then an add, which two threads could interleave into two saved sign-ins,
// although the keychain locks each call itself.

#include <optional>
#include <string>

namespace almavel {

inline constexpr const char* kSavedPasswordService = "pa.almavel.asistente.signin";

class SavedPassword {
public:
    // The password saved for `email`, if any. A keychain that cannot be
    // read now also answers none, and sets `*unreadable` (with a console
    // line naming why): the password may be saved all the same.
    static std::optional<std::string> passwordForUser(const std::string& email, bool* unreadable = nullptr);
    // Replaces whatever was saved (for any address) with this pair, and
    // writes nothing when the pair is saved already. False when the keychain
    // refused the write.
    static bool save(const std::string& email, const std::string& password);
    // Removes the saved password, whoever it was for. False, with a console
    // line naming what the keychain refused, when it is still there.
    static bool forget();
    // Moves a password an older version left in user defaults ("clave")
    // into the keychain for the stored "usuario", and removes the key.
    static void migrateFromUserDefaults();
};

}  // namespace almavel
