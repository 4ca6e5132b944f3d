#include "media/encoder_args.h"

#include "base/failure.h"

namespace qnr {

namespace {

// "-crf:v" and "-q" as FFmpeg's own tool spells them, in the names the
// libraries know.
std::string option_key(const std::string& arg) {
  std::string key = arg.substr(1);
  if (key.size() > 2 && (key.ends_with(":v") || key.ends_with(":V"))) key.resize(key.size() - 2);
  if (key == "q") key = "qscale";
  return key;
}

void take_pair(const std::string& key, const std::string& value, EncoderArgs& out) {
  if (key == "f") {
    out.format = value;
  } else if (key == "c" || key == "codec" || key == "vcodec") {
    out.codec = value;
  } else if (key == "pix_fmt") {
    out.pixel_format = value;
  } else if (key == "movflags" || key == "brand" || key == "write_tmcd") {
    out.muxer_options.set(key, value);
  } else {
    out.encoder_options.set(key, value);
  }
}

}  // namespace

EncoderArgs parse_encoder_args(const std::vector<std::string>& args) {
  EncoderArgs out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      throw Failure("encoder options come as -name value; \"" + arg + "\" is not one", kExitUsage);
    }
    if (arg == "-an") {
      out.drop_audio = true;
    } else if (arg == "-sn") {
      out.drop_subtitles = true;
    } else if (arg == "-dn") {
      out.drop_data = true;
    } else if (i + 1 >= args.size()) {
      throw Failure("encoder option " + arg + " needs a value", kExitUsage);
    } else {
      take_pair(option_key(arg), args[++i], out);
    }
  }
  return out;
}

}  // namespace qnr
