#include "CommonUtils/KXFont.h"

#include <utility>

#include "platform/Text.h"

namespace {

// Owns the calling thread's measuring context. Pango's default cairo font
// map is per thread, so no Pango object is shared between threads; the
// context keeps its font map alive until the thread ends.
struct ThreadMeasuringContext {
  PangoContext* context = nullptr;
  ~ThreadMeasuringContext() {
    if (context) g_object_unref(context);
  }
};

PangoContext* measuringContext() {
  thread_local ThreadMeasuringContext holder;
  if (!holder.context) {
    holder.context = pango_font_map_create_context(pango_cairo_font_map_get_default());
    pango_cairo_context_set_font_options(holder.context, KXFont::fontOptions());
  }
  return holder.context;
}

}  // namespace

void KXFont::LayoutDeleter::operator()(PangoLayout* layout) const {
  if (layout) g_object_unref(layout);
}

KXFont::KXFont(std::string family, double pixelSize)
    : family_(std::move(family)), pixelSize_(pixelSize) {}

const cairo_font_options_t* KXFont::fontOptions() {
  static const cairo_font_options_t* options = [] {
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
    return o;
  }();
  return options;
}

KXFont::LayoutPtr KXFont::newLayout(std::string_view text, cairo_t* cr) const {
  PangoLayout* layout = nullptr;
  if (cr) {
    // The layout takes the context's font options when it is made; the
    // caller's own options are put back afterwards.
    cairo_save(cr);
    cairo_set_font_options(cr, fontOptions());
    layout = pango_cairo_create_layout(cr);
    cairo_restore(cr);
  } else {
    layout = pango_layout_new(measuringContext());
  }
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, family_.c_str());
  pango_font_description_set_absolute_size(description, pixelSize_ * PANGO_SCALE);
  pango_layout_set_font_description(layout, description);
  pango_font_description_free(description);
  pango_layout_set_single_paragraph_mode(layout, TRUE);

  if (kx::Text::isValidUtf8(text)) {
    pango_layout_set_text(layout, text.data(), static_cast<int>(text.size()));
  } else {
    const std::string valid = kx::Text::toValidUtf8(text);
    pango_layout_set_text(layout, valid.data(), static_cast<int>(valid.size()));
  }
  return LayoutPtr(layout);
}

double KXFont::widthOfString(std::string_view text) const {
  if (text.empty()) return 0;
  LayoutPtr layout = newLayout(text);
  PangoRectangle logical;
  pango_layout_get_extents(layout.get(), nullptr, &logical);
  return static_cast<double>(logical.width) / PANGO_SCALE;
}

void KXFont::drawString(cairo_t* cr, std::string_view text, double x, double baseline) const {
  if (text.empty()) return;
  LayoutPtr layout = newLayout(text, cr);
  const double ascent = static_cast<double>(pango_layout_get_baseline(layout.get())) / PANGO_SCALE;
  cairo_move_to(cr, x, baseline - ascent);
  pango_cairo_show_layout(cr, layout.get());
}
