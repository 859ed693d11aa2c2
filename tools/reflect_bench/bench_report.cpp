#include "tools/reflect_bench/bench_report.h"

#include <csignal>
#include <cstdio>

#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"

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

std::string count_text(std::uint64_t count) { return std::to_string(count); }

std::string lost_text(const load_result& r) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu (%.3f%%)", static_cast<unsigned long long>(r.lost()),
                percent(r.lost(), r.sent));
  return text;
}

std::string mismatched_text(const mismatch_counts& m) {
  char text[160];
  std::snprintf(text, sizeof text, "%llu (type %llu, length %llu, address %llu, foreign %llu)",
                static_cast<unsigned long long>(m.total()),
                static_cast<unsigned long long>(m.wrong_type),
                static_cast<unsigned long long>(m.wrong_length),
                static_cast<unsigned long long>(m.wrong_address),
                static_cast<unsigned long long>(m.foreign));
  return text;
}

// Lost, split by where: at this tool's own sockets, as their kernel counted
// it, and anywhere beyond them.
std::string lost_lines(const load_result& r) {
  std::string out = line_of("lost", lost_text(r));
  if (!r.dropped_at_generator) {
    out += line_of("  at generator", "n/a (this system counts no drops per socket)");
    return out + line_of("  beyond it", "n/a");
  }
  out += line_of("  at generator",
                 count_text(*r.lost_at_generator()) + " (dropped at this tool's own sockets)");
  return out + line_of("  beyond it", count_text(*r.lost_beyond()));
}

std::string count_lines(const load_result& r) {
  std::string out = line_of("offered", count_and_rate(r.sent, r.sending_seconds));
  out += line_of("answered", count_and_rate(r.answered, r.sending_seconds));
  out += line_of("duplicated",
                 count_text(r.duplicated) + " (further replies to answered requests)");
  out += lost_lines(r);
  return out + line_of("mismatched", mismatched_text(r.mismatched));
}

std::string signal_name(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "signal " + std::to_string(signal_number);
  }
}

std::string notes(const load_result& r) {
  std::string out;
  if (r.stopped_by_signal != 0) {
    out += "  note: stopped early by " + signal_name(r.stopped_by_signal) +
           "; the figures cover what ran\n";
  }
  if (r.late > 0) {
    out += "  note: " + count_text(r.late) +
           " replies came too late to be told from duplicates; their requests count as lost\n";
  }
  if (r.fell_behind) out += "  note: the load generator could not keep the offered rate\n";
  if (r.send_refusals > 0) {
    out += "  note: the kernel refused " + count_text(r.send_refusals) +
           " send calls (is the server up?)\n";
  }
  return out;
}

// A rewritten address is what a translator on the way does; the other kinds
// point at whatever answers at server.
std::string mismatch_message(const mismatch_counts& m, const std::string& server) {
  const std::string question =
      m.wrong_address > 0 ? "is an address translator rewriting addresses on the way?"
                          : "is something other than a reflector answering at " + server + "?";
  return count_text(m.total()) + " replies mismatched: " + question;
}

std::string nothing_answered_message(const load_result& r, const std::string& server) {
  if (r.sent == 0) return "nothing could be sent to " + server;
  return "nothing was answered: is a reflector running at " + server + "?";
}

void add_optional_integer(json_object& out, const char* key, std::optional<std::uint64_t> value) {
  if (value) {
    out.add_integer(key, *value);
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
  char duration[64];
  std::snprintf(duration, sizeof duration, "%.2f s", r.sending_seconds);

  std::string out = "reflect-bench " + plan.server.text() + ": " + mode_text(plan) + "\n";
  out += line_of("duration", duration);
  out += count_lines(r);
  out += line_of("latency", latency_line(r.latency));
  if (summary.options.server_pid) {
    out += line_of("server CPU", cpu_line(summary.server_cpu_seconds, r.answered));
  }
  out += line_of("client CPU", cpu_line(summary.client_cpu_seconds, r.answered));
  return out + notes(r);
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
      .add_integer("duplicated", r.duplicated)
      .add_integer("late", r.late)
      .add_integer("lost", r.lost())
      .add_number("lost_percent", percent(r.lost(), r.sent));
  add_optional_integer(out, "lost_at_generator", r.lost_at_generator());
  add_optional_integer(out, "lost_beyond", r.lost_beyond());
  out.add_integer("mismatched", r.mismatched.total())
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
  out.add_bool("interrupted", r.stopped_by_signal != 0);
  return out.text();
}

run_verdict judge_run(const load_result& r, const std::string& server) {
  run_verdict verdict;
  if (r.mismatched.total() > 0) {
    verdict.status = exit_mismatched;
    verdict.messages.push_back(mismatch_message(r.mismatched, server));
  } else if (r.answered == 0) {
    verdict.status = exit_no_answer;
    verdict.messages.push_back(nothing_answered_message(r, server));
  }
  if (r.duplicated > 0) {
    verdict.messages.push_back(count_text(r.duplicated) +
                               " duplicate replies: the server, or something on the way, sends "
                               "replies more than once");
  }
  if (r.stopped_by_signal != 0) verdict.status = 128 + r.stopped_by_signal;
  return verdict;
}

}  // namespace reflector::tools
