#include "media/gif_palette.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include <string>

#include "base/failure.h"

namespace qnr {

namespace {
struct GraphFree {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
}  // namespace

FramePtr to_own_palette(const AVFrame& frame) {
  std::unique_ptr<AVFilterGraph, GraphFree> graph(avfilter_graph_alloc());
  if (!graph) throw std::bad_alloc();
  graph->nb_threads = 1;
  const std::string source_args =
      "video_size=" + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
      ":pix_fmt=" + std::to_string(frame.format) + ":time_base=1/25:pixel_aspect=1/1";
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  check_av(avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in",
                                        source_args.c_str(), nullptr, graph.get()),
           "cannot set up the GIF palette");
  check_av(avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                        nullptr, graph.get()),
           "cannot set up the GIF palette");
  check_av(link_filter_chain(graph.get(), source, sink,
                             "split[a][b];[a]palettegen=stats_mode=single:reserve_transparent=0[p];"
                             "[b][p]paletteuse=new=1"),
           "cannot set up the GIF palette");
  check_av(avfilter_graph_config(graph.get(), nullptr), "cannot set up the GIF palette");

  FramePtr copy = new_frame();
  check_av(av_frame_ref(copy.get(), &frame), "cannot make the GIF palette");
  copy->pts = 0;
  check_av(av_buffersrc_add_frame(source, copy.get()), "cannot make the GIF palette");
  check_av(av_buffersrc_add_frame(source, nullptr), "cannot make the GIF palette");
  FramePtr out = new_frame();
  check_av(av_buffersink_get_frame(sink, out.get()), "cannot make the GIF palette");
  return out;
}

}  // namespace qnr
