// Draws the app's picture resources into a directory at build time: the
// offer flyers ("1.png" ... "10.png") and the store photos named in the
// store directory. Drawn rather than kept as binaries in the source tree.
//
// Usage: almavel-make-resources <output directory>

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "app/StoreDirectory.h"

namespace {

struct Rgb {
    double r, g, b;
};

void text(cairo_t* cr, const std::string& s, const char* font, double x, double y, double width, Rgb colour) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* desc = pango_font_description_from_string(font);
    pango_layout_set_font_description(layout, desc);
    pango_layout_set_width(layout, static_cast<int>(width * PANGO_SCALE));
    pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
    pango_layout_set_text(layout, s.c_str(), -1);
    cairo_set_source_rgb(cr, colour.r, colour.g, colour.b);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    pango_font_description_free(desc);
    g_object_unref(layout);
}

bool save(cairo_surface_t* surface, const std::string& path) {
    if (cairo_surface_write_to_png(surface, path.c_str()) != CAIRO_STATUS_SUCCESS) {
        std::fprintf(stderr, "almavel-make-resources: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool flyer(const std::string& dir, const std::string& name, int n) {
    constexpr int w = 700, h = 360;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    // Each flyer its own hue, so rows are told apart at a glance.
    const double hue = n / 10.0;
    cairo_set_source_rgb(cr, 0.55 + 0.4 * std::sin(hue * 6.28), 0.2 + 0.2 * hue, 0.25 + 0.5 * (1 - hue));
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0.97, 0.66, 0.14);
    cairo_rectangle(cr, 0, h - 70, w, 70);
    cairo_fill(cr);
    text(cr, "OFERTA " + std::to_string(n), "DejaVu Sans Bold 44", 0, 70, w, {1, 1, 1});
    text(cr, std::to_string(10 + 5 * n) + " % de descuento", "DejaVu Sans 30", 0, 170, w, {1, 1, 1});
    text(cr, "Almavel · Lumecasa", "DejaVu Sans Bold 24", 0, h - 58, w, {0.12, 0.16, 0.27});
    cairo_destroy(cr);
    const bool ok = save(surface, dir + "/" + name + ".png");
    cairo_surface_destroy(surface);
    return ok;
}

bool storePhoto(const std::string& dir, const almavel::StoreEntry& store, int index) {
    constexpr int w = 240, h = 240;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 0.6, 0.8, 0.95);  // sky
    cairo_paint(cr);
    // The building: brand blue for Almavel, navy for Lumecasa.
    const bool lumecasa = std::string(store.name).rfind("Lumecasa ", 0) == 0;
    cairo_set_source_rgb(cr, lumecasa ? 0.12 : 0.03, lumecasa ? 0.16 : 0.27, lumecasa ? 0.27 : 0.6);
    cairo_rectangle(cr, 20, 80 - 4 * index, 200, 160 + 4 * index);
    cairo_fill(cr);
    cairo_set_source_rgb(cr, 0.97, 0.66, 0.14);
    cairo_rectangle(cr, 95, 180, 50, 60);  // the door
    cairo_fill(cr);
    text(cr, store.name, "DejaVu Sans Bold 16", 24, 100, w - 48, {1, 1, 1});
    cairo_destroy(cr);
    const bool ok = save(surface, dir + "/" + store.photo + ".png");
    cairo_surface_destroy(surface);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: almavel-make-resources <output directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    int n = 0;
    for (const char* name : almavel::kOfferFlyers) {
        if (!flyer(dir, name, ++n)) return 1;
    }
    for (int i = 0; i < almavel::kStoreCount; ++i) {
        if (!storePhoto(dir, almavel::kStoreDirectory[i], i)) return 1;
    }
    return 0;
}
