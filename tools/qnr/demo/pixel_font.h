// A 5 x 7 bitmap font for the few words the demo draws: the sign in its scene
// and the labels of its before/after picture. Capitals, digits and a little
// punctuation; lower case is drawn as capitals, anything else as a space.
#pragma once

#include <string_view>

namespace qnr {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = 6;  // one blank column between letters

// Whether cell (column, row) of the character's glyph is ink; row 0 is the top.
bool glyph_ink(char c, int column, int row);

// Whether the point (x, y), in cells from the top left of the text's first
// glyph, falls on ink of `text` drawn on one line.
bool text_ink(std::string_view text, double x, double y);

// The text's width in cells.
inline int text_cells(std::string_view text) {
  return text.empty() ? 0 : static_cast<int>(text.size()) * kGlyphAdvance - 1;
}

}  // namespace qnr
