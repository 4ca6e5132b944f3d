#include "media/output_request.h"

#include "media/output_file.h"

namespace qnr {

OutputRequest make_output_request(const OutputChoice& choice, bool quiet, const OutputFile* file) {
  OutputRequest request;
  static_cast<OutputChoice&>(request) = choice;
  request.quiet = quiet;
  if (file != nullptr) {
    request.url = file->url();
    request.streamed = file->streamed();
    request.sequence = file->sequence();
  }
  return request;
}

}  // namespace qnr
