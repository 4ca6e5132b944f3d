// The extended dialog template (DLGTEMPLATEEX) that a resource compiler writes
// for a DIALOGEX statement, read into plain records. The stand-in builds its
// dialogs from it; tests read the module's template through the same records.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#if defined(QNR_WIN32_BUILDING)
#define QNR_WIN32_CXX_API __attribute__((visibility("default")))
#else
#define QNR_WIN32_CXX_API
#endif

namespace win32_standin {

// A menu, class or text field: absent, an ordinal (0xFFFF then a 16-bit
// number), or a string. Strings are UTF-16 in the template; characters outside
// ASCII read as '?', as none of ours has any.
struct TemplateName {
  enum class Kind { kNone, kOrdinal, kString };
  Kind kind = Kind::kNone;
  uint16_t ordinal = 0;
  std::string text;
};

struct DialogItemTemplate {
  uint32_t help_id = 0;
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint32_t id = 0;
  TemplateName window_class;
  TemplateName text;
  std::vector<uint8_t> creation_data;
};

struct DialogTemplate {
  uint16_t version = 0;
  uint16_t signature = 0;
  uint32_t help_id = 0;
  uint32_t ex_style = 0;
  uint32_t style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  TemplateName menu;
  TemplateName window_class;
  std::string title;
  bool has_font = false;  // DS_SETFONT (or DS_SHELLFONT) in the style
  uint16_t point_size = 0;
  uint16_t weight = 0;
  uint8_t italic = 0;
  uint8_t charset = 0;
  std::string typeface;
  std::vector<DialogItemTemplate> items;
};

// Reads an extended dialog template. False with a message in `error` when the
// bytes are not one (an old-style DLGTEMPLATE included) or end too early.
QNR_WIN32_CXX_API bool parse_dialog_template(std::span<const uint8_t> bytes, DialogTemplate& out,
                                             std::string& error);

}  // namespace win32_standin
