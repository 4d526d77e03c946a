#pragma once
// The chain's places as the stock record names them: the stock table (20
// places in the order the stock screen reads and shows them: stores of
// Almavel, the one warehouse fourth, then the stores of Lumecasa) and the
// receipt table (the 19 stores, without the warehouse, in the order the
// last-receipt screen reads and shows them). A place's code gives its field
// names: "Ex" + code for the units held, "FecUltEnt" + code for the date of
// the last goods receipt. The back end's sample data uses the same codes.

#include <array>
#include <string>

namespace almavel {

struct StockPlace {
    const char* code;
    const char* name;
};

inline constexpr std::array<StockPlace, 20> kStockPlaces = {{
    {"VE", "Almavel Vía España"},
    {"LP", "Almavel Los Pueblos"},
    {"AL", "Almavel Albrook"},
    {"BC", "Bodega Central"},
    {"CO", "Almavel Colón"},
    {"DA", "Almavel David"},
    {"SA", "Almavel Santiago"},
    {"CH", "Almavel Chitré"},
    {"PE", "Almavel Penonomé"},
    {"AR", "Almavel Arraiján"},
    {"LC", "Almavel La Chorrera"},
    {"BQ", "Almavel Boquete"},
    {"MS", "Lumecasa San Miguelito"},
    {"MT", "Lumecasa Tumba Muerto"},
    {"MV", "Lumecasa Las Tablas"},
    {"MA", "Lumecasa Aguadulce"},
    {"MB", "Lumecasa Bocas del Toro"},
    {"MG", "Lumecasa Changuinola"},
    {"MD", "Lumecasa Costa del Este"},
    {"ME", "Lumecasa El Dorado"},
}};

// Stock-table entries (0-based) in receipt order: entries 8 and 9, then 1,
// 2, 3, 5, 6, 7, then 10 to 20 (1-based).
inline constexpr std::array<int, 19> kReceiptOrder = {7, 8, 0, 1, 2, 4, 5, 6, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

inline std::string stockField(const StockPlace& place) { return std::string("Ex") + place.code; }
inline std::string receiptField(const StockPlace& place) { return std::string("FecUltEnt") + place.code; }

}  // namespace almavel
