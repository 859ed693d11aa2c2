#include <exception>

#include "platform/xdp/fast_path_pins.h"
#include "tools/reflect_stats/fast_path_reading.h"
#include "tools/reflect_xdp/counter_report.h"

namespace reflector::tools {
namespace {

fast_path_view view_of(const xdp::attachment& attachment) {
  fast_path_view view;
  view.interface = attachment.interface;
  view.attached = attachment.attached;
  view.mode = xdp::mode_name(attachment.mode);
  for (unsigned reason = 0; reason < fast_path_reason_count; ++reason) {
    for (unsigned family = 0; family < fast_path_family_count; ++family) {
      const auto r = static_cast<fast_path_reason>(reason);
      const auto f = static_cast<fast_path_family>(family);
      view.counts.push_back({reason_name(r), family_name(f), attachment.counters.at(r, f)});
    }
  }
  return view;
}

}  // namespace

fast_path_state read_fast_path() {
  fast_path_state state;
  state.built = true;
  try {
    for (const auto& attachment : xdp::attached_fast_paths()) state.attachments.push_back(view_of(attachment));
  } catch (const std::exception& error) {
    state.unreadable = error.what();
  }
  return state;
}

}  // namespace reflector::tools
