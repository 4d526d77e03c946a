#pragma once
// The standard user-defaults keys through which the screens hand values to
// one another, and the storyboard identifiers by which screens are made.

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

// Storyboard identifiers.
inline constexpr const char* kCapViewID = "CapView";
inline constexpr const char* kSearchViewID = "SearchView";
inline constexpr const char* kResConID = "ResCon";
inline constexpr const char* kCantViewID = "CantView";
inline constexpr const char* kExistContID = "ExistCont";
inline constexpr const char* kUltIngID = "UltIng";
inline constexpr const char* kQuoteViewID = "QuoteView";
inline constexpr const char* kLoginVID = "LoginV";
inline constexpr const char* kMainStorID = "MainStor";
inline constexpr const char* kNavConID = "NavCon";
inline constexpr const char* kDatosConID = "DatosCon";
inline constexpr const char* kSrryConID = "SrryCon";
// Screens the code never names: the storyboard's roads reach them.
inline constexpr const char* kSalesConID = "SalesCon";
inline constexpr const char* kStoreConID = "StoreCon";
inline constexpr const char* kRegisterConID = "RegisterCon";
inline constexpr const char* kResetConID = "ResetCon";
inline constexpr const char* kProfileConID = "ProfileCon";
// The older stock screen, which no screen opens.
inline constexpr const char* kDispoID = "DispoCon";

}  // namespace almavel
