#pragma once
// The stores of the chain's two brands (Almavel and Lumecasa) as the
// store list shows them, and the flyers of the current offers. Compiled into
// the app; the build's resource tool draws the images named here, so the
// names and the pictures cannot drift apart.

#include <array>

namespace almavel {

inline constexpr int kStoreCount = 8;

struct StoreEntry {
    const char* name;
    const char* photo;
    const char* hours;
    const char* phone;
    const char* fax;
};

inline constexpr std::array<StoreEntry, kStoreCount> kStoreDirectory{{
    {"Almavel Vía España", "tienda1", "Lunes a sábado: 8:00 a. m. - 7:00 p. m.\nDomingo: 9:00 a. m. - 5:00 p. m.",
     "Teléfono: 269-4410", "Fax: 269-4411"},
    {"Almavel Los Pueblos", "tienda2", "Lunes a sábado: 8:00 a. m. - 8:00 p. m.\nDomingo: 9:00 a. m. - 6:00 p. m.",
     "Teléfono: 217-3320", "Fax: 217-3321"},
    {"Almavel David", "tienda3", "Lunes a sábado: 7:30 a. m. - 6:30 p. m.\nDomingo: cerrado", "Teléfono: 775-2290",
     "Fax: 775-2291"},
    {"Almavel Santiago", "tienda4", "Lunes a sábado: 7:30 a. m. - 6:30 p. m.\nDomingo: 8:00 a. m. - 12:00 m.",
     "Teléfono: 998-1150", "Fax: 998-1151"},
    {"Lumecasa Albrook", "tienda5", "Lunes a domingo: 10:00 a. m. - 9:00 p. m.", "Teléfono: 315-6640",
     "Fax: 315-6641"},
    {"Lumecasa Costa del Este", "tienda6",
     "Lunes a sábado: 9:00 a. m. - 8:00 p. m.\nDomingo: 10:00 a. m. - 6:00 p. m.", "Teléfono: 271-0870",
     "Fax: 271-0871"},
    {"Lumecasa Chitré", "tienda7", "Lunes a sábado: 8:00 a. m. - 6:00 p. m.\nDomingo: cerrado",
     "Teléfono: 996-4420", "Fax: 996-4421"},
    {"Lumecasa Colón", "tienda8", "Lunes a sábado: 8:00 a. m. - 6:30 p. m.\nDomingo: 9:00 a. m. - 1:00 p. m.",
     "Teléfono: 441-5530", "Fax: 441-5531"},
}};

// The flyers' image names, in the order the offers screen lists them.
inline constexpr std::array<const char*, 10> kOfferFlyers{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};

}  // namespace almavel
