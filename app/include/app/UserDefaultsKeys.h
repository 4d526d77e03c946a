#pragma once
// The standard user-defaults keys through which the screens hand values to
// one another (the storyboard identifiers are in app/MainStoryboard.h).

namespace almavel {

// Product hand-over, written by the product look-up.
inline constexpr const char* kCodigoKey = "codigo";
inline constexpr const char* kDescripKey = "descrip";
inline constexpr const char* kPrecioKey = "precio";
inline constexpr const char* kOfertaKey = "oferta";
inline constexpr const char* kFecIniKey = "fecIni";
inline constexpr const char* kFecFinKey = "fecFin";
inline constexpr const char* kMargenKey = "margen";
// Sign-in state: "1" while signed in, "0" after sign-out.
inline constexpr const char* kLoggedKey = "logged";
// The signed-in user's e-mail address.
inline constexpr const char* kUsuarioKey = "usuario";
// Where older versions kept the password in plain text. Nothing writes it
// any more: the password lives in the keychain (SavedPassword), and a
// value found here is moved there and removed.
inline constexpr const char* kClaveKey = "clave";
inline constexpr const char* kCedulaKey = "cedula";

}  // namespace almavel
