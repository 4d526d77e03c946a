#pragma once
// The signed-in state the next launch starts from, kept and ended in the
// order that launch relies on. The sign-in screen signs in by itself only
// with "logged" "1", the address in "usuario" and that address's password in
// the keychain (SavedPassword), and signs out an SDK session found without
// them. So a sign-in stores the address, the password and then "logged" "1",
// once the SDK holds the session; a sign-out removes the password first (a
// launch without it cannot sign in by itself, whatever "logged" says), then
// stores "logged" "0", then ends the SDK's session. Each step is taken only
// once the one before it is kept, so a write that fails stops the flow where
// the stores still agree, and no step undoes one already made.
//
// Main thread only (checked in Debug): the screens call these.

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

namespace almavel {

inline constexpr const char* kSignOutTitle = "Cerrar sesión";
inline constexpr const char* kPasswordKeptMessage =
    "No se pudo borrar la contraseña guardada en el teléfono, la sesión sigue abierta";
inline constexpr const char* kSignOutNotStoredMessage =
    "No se pudo guardar el cierre de sesión en las preferencias del teléfono, la sesión sigue abierta";
inline constexpr const char* kSessionKeptMessage = "No se pudo cerrar la sesión del usuario, la sesión sigue abierta";
inline constexpr const char* kSignInNotKeptTitle = "Atención";
inline constexpr const char* kSignInNotKeptMessage =
    "No se pudo guardar la sesión en el teléfono, al abrir de nuevo la aplicación deberá iniciar sesión";
inline constexpr const char* kSessionNotSavedMessage = "No se pudo guardar la sesión en el teléfono, vuelva a intentar";

// Sets a standard user default and says whether the change reached its
// journal: nullptr when it did, else why not (the change is still kept in
// memory, and appended once the journal takes it).
ns::ErrorRef storeDefault(const ns::Value& value, const char* key);

// Stores what the next launch signs in with, in order, stopping at the
// first write that fails; a value stored already is not written again. False, with a console line naming it, when one
// failed: the next launch then asks for the password.
bool keepSignIn(const std::string& email, const std::string& password);

// Ends the sign-in in order: the saved password, "logged" "0", the SDK's
// session. nullopt when all three are done; else the message for the clerk
// of the step that failed (with a console line naming what could not be
// written), every later step not taken.
std::optional<std::string> endSignIn();

// Whether a failed sign-in failed only because the SDK could not save the
// renewed session, while it still holds the session it restored for the
// same address: the clerk is signed in with that one.
bool signedInWithKeptSession(const ns::ErrorRef& error, const std::string& email);

}  // namespace almavel
