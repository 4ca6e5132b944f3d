// qnr --help: the usage text, its settings part made from the settings
// table. The manual page and the shell completion are made from it too.
#include <algorithm>
#include <string>

#include "app/options.h"
#include "vdhost/settings.h"

namespace qnr {

namespace {

// The settings' part of the usage, from the settings table.
std::string settings_usage() {
  std::string defaults, lines;
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    const bool level = info.kind == vdhost::SettingKind::level;
    std::string option = vdhost::option_name(info) + (level ? " N" : "");
    option.resize(std::max<size_t>(option.size() + 1, 18), ' ');
    lines += "  " + option + info.help;
    if (level) {
      lines += ", " + std::to_string(info.minimum) + " to " + std::to_string(info.maximum);
      defaults += std::string(defaults.empty() ? "" : ", ") + info.name + " " +
                  std::to_string(info.default_value);
    }
    lines += "\n";
  }
  return "filter settings (defaults are the filter's own: " + defaults + "):\n" + lines;
}

}  // namespace

std::string usage_text() {
  return R"USAGE(qnr: spatial noise reduction of video and images through the QNR filter module

usage:
  qnr IN OUT [options] [-- encoder options]
  qnr demo [DIR] [--size WxH] [--frames N] [--jobs N]
  qnr tune IN [settings] [--at TIME] [--port N] [--no-browser] [--fresh]
  qnr info
  qnr IN OUT --segments [--segment-seconds S] [--parallel P] [--job DIR]
             [--keep-job] [options] [-- encoder options]
  qnr plan IN OUT --job DIR [options] [--segment-seconds S] [-- encoder options]
  qnr segment --job DIR K
  qnr join --job DIR [-y] [--keep-job]
  qnr status --job DIR [--json]

IN is any video or image FFmpeg reads ("-" for standard input); OUT's extension
picks the container: .mp4 .mkv .mov .avi .ts .m2ts .flv (H.264, CRF 16), .webm
(VP9), .mpg .vob .mxf (MPEG-2), .ogv (Theora), .webp, .gif, .png .tif
(lossless), .jpg; seq%03d.png writes an image sequence; "-" writes to standard
output (with -f matroska, mpegts or nut).
Audio, subtitles, chapters and metadata are copied from IN where OUT's
container takes them (else converted or left out, with a note); each frame
keeps its timestamp, and the pixel format follows IN's depth and chroma
layout where the codec can. Damage in IN is left out with a note. An existing
OUT is replaced only with -y.

)USAGE" + settings_usage() +
         R"USAGE(  --config LINE     the filter's settings line as hosts store it, e.g.
                    "Config(70,70,2,0,1)"; single options above override it

qnr tune serves a page on 127.0.0.1 for choosing the settings by eye on IN's
own frames (before and after, zoom, the noise removed); it prints the page's
address with its access token first, opens it in the desktop's browser unless
--no-browser, and prints the chosen settings line when the page's "done" is
pressed. The settings above are the page's starting values; without any, the
settings last chosen with "done" for IN start (kept in $XDG_STATE_HOME/qnr,
else ~/.local/state/qnr), or with --fresh the defaults; --at TIME (seconds or
M:SS) the starting time; --port N a fixed port instead of a free one.

input:
  --rate FPS        the input video's frame rate (25, 29.97, 30000/1001): its
                    frames are shown 1/FPS apart, whatever their timestamps
                    say; for raw camera streams without timestamps or a rate
  --strict          stop at damage in the input (a packet that cannot be
                    kept, a frame that does not decode, an early end) instead
                    of going on and saying what was lost
  --video-stream N  filter the input's stream N (numbered from 0, as in
                    qnr's notes) instead of the video stream ffmpeg would take

other options:
  --jobs N          filter instances working in parallel (default: one per
                    core; one where a CUDA driver loads)
  --codec NAME      video encoder instead of the container's default
  -f, --format NAME container instead of the one OUT's name picks
  -y, --overwrite   replace OUT when it exists
  --module PATH     the filter module (default: QNR_CUDA.vdf beside qnr, else
                    in ../lib/qnr as installed)
  --rgb             write the filter's own 8-bit RGB output instead of adding
                    its brightness correction to IN's frames at their own
                    depth and layout (8-bit RGB inputs and Show noise always
                    take the filter's output)
  --quiet, -q       no progress line
  --cpu             filter on the CPU path only (the module sees no GPU)
  --device N        use only GPU N
  --help, -h        this text
  --version         qnr's version, the module's filter, its CPU routine here and
                    the GPU code it carries
  -- ARGS...        encoder options as -name value pairs, after qnr's own, e.g.
                    -- -crf 20 -preset slow; -an, -sn, -dn drop the audio,
                    subtitle or data streams; -pix_fmt NAME the pixel format

long jobs (the output equals a single run's, frame for frame):
  --segments        cut the video into segments by timestamp, filter them in
                    parallel and join them; running the same command again
                    resumes where an interrupted run stopped
  --segment-seconds S  seconds of video per segment (default 60)
  --parallel P      segments at a time (default: one per core; one per GPU
                    on the GPU road)
  --job DIR         the job's folder (default: .OUT.qnr-job beside OUT)
  --keep-job        keep the job's folder after the join (qnr join too); it
                    is removed once OUT is on the disk otherwise
  plan, segment, join and status do one step each, for engines such as GNU
  parallel or Slurm: plan prints the number of segments N; run
  "qnr segment --job DIR K" for K = 0 .. N-1 anywhere the folder is shared,
  then "qnr join --job DIR". Exit status: 0 done, 2 a wrong command line,
  3 the job cannot be done as planned (a retry will not help), anything
  else is worth a retry.
)USAGE";
}

}  // namespace qnr
