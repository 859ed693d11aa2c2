#include "tools/reflect_bench/bench_report.h"

#include <cstdio>

#include "tools/common/json_object.h"

namespace reflector::tools {
namespace {

constexpr double percentiles[] = {0.50, 0.90, 0.99, 0.999};
constexpr const char* percentile_names[] = {"p50", "p90", "p99", "p99.9"};

double percent(std::uint64_t part, std::uint64_t whole) {
  return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

double per_second(std::uint64_t count, double seconds) {
  return seconds > 0 ? static_cast<double>(count) / seconds : 0.0;
}

// CPU seconds per million replies; nullopt when nothing was answered.
std::optional<double> per_million(std::optional<double> cpu_seconds, std::uint64_t answered) {
  if (!cpu_seconds || answered == 0) return std::nullopt;
  return *cpu_seconds * 1e6 / static_cast<double>(answered);
}

std::string mode_text(const load_plan& plan) {
  char text[160];
  const char* kind = plan.forward_target ? "FORWARD" : "QUERY";
  if (plan.rate) {
    std::snprintf(text, sizeof text, "%s, open loop at %.0f/s over %u sockets", kind, *plan.rate,
                  plan.sockets);
  } else {
    std::snprintf(text, sizeof text, "%s, closed loop, %u sockets x %u in flight", kind,
                  plan.sockets, plan.window);
  }
  return text;
}

std::string line_of(const char* label, const std::string& value) {
  char text[256];
  std::snprintf(text, sizeof text, "  %-14s %s\n", label, value.c_str());
  return text;
}

std::string count_and_rate(std::uint64_t count, double seconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%-12llu %12.0f/s", static_cast<unsigned long long>(count),
                per_second(count, seconds));
  return text;
}

std::string latency_line(const latency_histogram& latency) {
  if (latency.count() == 0) return "no replies";
  std::string text;
  for (std::size_t i = 0; i < std::size(percentiles); ++i) {
    text += std::string(percentile_names[i]) + " " + duration_text(latency.percentile(percentiles[i])) + "  ";
  }
  return text + "max " + duration_text(latency.max());
}

std::string cpu_line(std::optional<double> cpu_seconds, std::uint64_t answered) {
  const auto cost = per_million(cpu_seconds, answered);
  if (!cost) return "n/a";
  char text[96];
  std::snprintf(text, sizeof text, "%.3f s per million replies (%.2f s in all)", *cost, *cpu_seconds);
  return text;
}

std::string latency_json(const latency_histogram& latency) {
  json_object out;
  for (std::size_t i = 0; i < std::size(percentiles); ++i) {
    out.add_number(percentile_names[i], static_cast<double>(latency.percentile(percentiles[i])) / 1e3);
  }
  out.add_number("max", static_cast<double>(latency.max()) / 1e3);
  return out.text();
}

void add_optional(json_object& out, const char* key, std::optional<double> value) {
  if (value) {
    out.add_number(key, *value);
  } else {
    out.add_null(key);
  }
}

}  // namespace

std::string live_line(const load_progress& progress) {
  char text[160];
  std::snprintf(text, sizeof text, "%5.0fs  sent %llu  answered %llu  lost %llu  rate %.0f/s",
                progress.elapsed_seconds, static_cast<unsigned long long>(progress.sent),
                static_cast<unsigned long long>(progress.answered),
                static_cast<unsigned long long>(progress.lost), progress.answered_per_second);
  return text;
}

std::string summary_table(const bench_summary& summary) {
  const load_result& r = summary.result;
  const load_plan& plan = summary.options.plan;
  const double seconds = r.sending_seconds;
  char lost[64], mismatched[160], duration[64];
  std::snprintf(lost, sizeof lost, "%llu (%.3f%%)", static_cast<unsigned long long>(r.lost()),
                percent(r.lost(), r.sent));
  std::snprintf(mismatched, sizeof mismatched, "%llu (type %llu, length %llu, address %llu, foreign %llu)",
                static_cast<unsigned long long>(r.mismatched.total()),
                static_cast<unsigned long long>(r.mismatched.wrong_type),
                static_cast<unsigned long long>(r.mismatched.wrong_length),
                static_cast<unsigned long long>(r.mismatched.wrong_address),
                static_cast<unsigned long long>(r.mismatched.foreign));
  std::snprintf(duration, sizeof duration, "%.2f s", seconds);

  std::string out = "reflect-bench " + plan.server.text() + ": " + mode_text(plan) + "\n";
  out += line_of("duration", duration);
  out += line_of("offered", count_and_rate(r.sent, seconds));
  out += line_of("answered", count_and_rate(r.answered, seconds));
  out += line_of("lost", lost);
  out += line_of("mismatched", mismatched);
  out += line_of("latency", latency_line(r.latency));
  if (summary.options.server_pid) {
    out += line_of("server CPU", cpu_line(summary.server_cpu_seconds, r.answered));
  }
  out += line_of("client CPU", cpu_line(summary.client_cpu_seconds, r.answered));
  if (r.fell_behind) out += "  note: the load generator could not keep the offered rate\n";
  if (r.send_refusals > 0) {
    out += "  note: the kernel refused " + std::to_string(r.send_refusals) +
           " send calls (is the server up?)\n";
  }
  return out;
}

std::string summary_json(const bench_summary& summary) {
  const load_result& r = summary.result;
  const load_plan& plan = summary.options.plan;
  json_object out;
  out.add_string("server", plan.server.text())
      .add_string("request", plan.forward_target ? "forward" : "query")
      .add_string("mode", plan.rate ? "open" : "closed")
      .add_integer("sockets", plan.sockets);
  if (plan.rate) {
    out.add_number("rate", *plan.rate);
  } else {
    out.add_integer("window", plan.window);
  }
  out.add_integer("size", plan.request_size)
      .add_number("duration_s", r.sending_seconds)
      .add_integer("offered", r.sent)
      .add_integer("answered", r.answered)
      .add_integer("lost", r.lost())
      .add_number("lost_percent", percent(r.lost(), r.sent))
      .add_integer("mismatched", r.mismatched.total())
      .add_integer("mismatched_type", r.mismatched.wrong_type)
      .add_integer("mismatched_length", r.mismatched.wrong_length)
      .add_integer("mismatched_address", r.mismatched.wrong_address)
      .add_integer("mismatched_foreign", r.mismatched.foreign)
      .add_number("offered_per_s", per_second(r.sent, r.sending_seconds))
      .add_number("throughput_per_s", per_second(r.answered, r.sending_seconds))
      .add_raw("latency_us", latency_json(r.latency));
  add_optional(out, "server_cpu_s", summary.server_cpu_seconds);
  add_optional(out, "server_cpu_s_per_million", per_million(summary.server_cpu_seconds, r.answered));
  out.add_number("client_cpu_s", summary.client_cpu_seconds);
  add_optional(out, "client_cpu_s_per_million", per_million(summary.client_cpu_seconds, r.answered));
  out.add_bool("fell_behind", r.fell_behind).add_integer("send_refusals", r.send_refusals);
  return out.text();
}

}  // namespace reflector::tools
