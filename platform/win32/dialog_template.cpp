// Reader of extended dialog templates. Fields are little-endian; strings are
// NUL-terminated UTF-16; each item starts on a four-byte boundary counted from
// the start of the template.
#include "dialog_template.h"

#include <cstring>

namespace win32_standin {
namespace {

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  size_t offset() const { return offset_; }

  uint16_t u16() { return static_cast<uint16_t>(take(2)); }
  uint32_t u32() { return static_cast<uint32_t>(take(4)); }
  int16_t i16() { return static_cast<int16_t>(u16()); }
  uint8_t u8() { return static_cast<uint8_t>(take(1)); }

  std::string string() {
    std::string text;
    for (;;) {
      const uint16_t unit = u16();
      if (!ok_ || unit == 0) return text;
      text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
  }

  TemplateName name() {
    TemplateName out;
    const uint16_t first = u16();
    if (first == 0) return out;
    if (first == 0xFFFF) {
      out.kind = TemplateName::Kind::kOrdinal;
      out.ordinal = u16();
      return out;
    }
    offset_ -= 2;
    out.kind = TemplateName::Kind::kString;
    out.text = string();
    return out;
  }

  void align4() { offset_ = (offset_ + 3) & ~size_t{3}; }

  std::vector<uint8_t> bytes(size_t count) {
    if (offset_ + count > bytes_.size()) {
      ok_ = false;
      return {};
    }
    std::vector<uint8_t> out(bytes_.begin() + static_cast<ptrdiff_t>(offset_),
                             bytes_.begin() + static_cast<ptrdiff_t>(offset_ + count));
    offset_ += count;
    return out;
  }

 private:
  uint64_t take(size_t count) {
    if (!ok_ || offset_ + count > bytes_.size()) {
      ok_ = false;
      return 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) value |= uint64_t{bytes_[offset_ + i]} << (8 * i);
    offset_ += count;
    return value;
  }

  std::span<const uint8_t> bytes_;
  size_t offset_ = 0;
  bool ok_ = true;
};

constexpr uint32_t kSetFont = 0x40;  // DS_SETFONT: a font follows the title

}  // namespace

bool parse_dialog_template(std::span<const uint8_t> bytes, DialogTemplate& out,
                           std::string& error) {
  out = DialogTemplate{};
  Reader in(bytes);
  out.version = in.u16();
  out.signature = in.u16();
  if (!in.ok() || out.version != 1 || out.signature != 0xFFFF) {
    error = "not an extended dialog template (version 1, signature 0xFFFF)";
    return false;
  }
  out.help_id = in.u32();
  out.ex_style = in.u32();
  out.style = in.u32();
  const uint16_t item_count = in.u16();
  out.x = in.i16();
  out.y = in.i16();
  out.cx = in.i16();
  out.cy = in.i16();
  out.menu = in.name();
  out.window_class = in.name();
  out.title = in.string();
  // DS_SHELLFONT includes DS_SETFONT.
  out.has_font = (out.style & kSetFont) != 0;
  if (out.has_font) {
    out.point_size = in.u16();
    out.weight = in.u16();
    out.italic = in.u8();
    out.charset = in.u8();
    out.typeface = in.string();
  }
  for (uint16_t i = 0; i < item_count && in.ok(); ++i) {
    in.align4();
    DialogItemTemplate item;
    item.help_id = in.u32();
    item.ex_style = in.u32();
    item.style = in.u32();
    item.x = in.i16();
    item.y = in.i16();
    item.cx = in.i16();
    item.cy = in.i16();
    item.id = in.u32();
    item.window_class = in.name();
    item.text = in.name();
    const uint16_t extra = in.u16();
    item.creation_data = in.bytes(extra);
    out.items.push_back(std::move(item));
  }
  if (!in.ok()) {
    error = "the dialog template ends before its last field (" + std::to_string(bytes.size()) +
            " bytes, " + std::to_string(item_count) + " controls announced)";
    return false;
  }
  return true;
}

}  // namespace win32_standin
