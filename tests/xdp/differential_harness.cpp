#include "tests/xdp/differential_harness.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <sstream>
#include <optional>

namespace reflector::xdp::test {
namespace {

// Enough to see a pattern without burying the first one.
constexpr std::size_t reported_limit = 8;
constexpr std::size_t differing_bytes_listed = 8;

constexpr char hex_digits[] = "0123456789abcdef";

void put_hex(std::ostream& out, std::uint64_t value, int digits) {
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out << hex_digits[value >> shift & 0x0f];
}

std::string hex_byte(std::uint8_t b) {
  std::ostringstream out;
  put_hex(out, b, 2);
  return out.str();
}

void put_outcome(std::ostream& out, const prediction& p) {
  out << name_of(p.verdict) << " (" << name_of(p.reason) << ", " << name_of(p.family) << ")";
}

void put_verdict(std::ostream& out, std::uint32_t verdict) {
  if (verdict >= 1 && verdict <= 3) {
    out << name_of(static_cast<xdp_verdict>(verdict));
  } else {
    out << "return code " << verdict;
  }
}

// Byte by byte, skipping the bytes at skip (and the one after) when skip is
// set; empty when the frames are the same.
std::string differences(std::span<const std::uint8_t> program, std::span<const std::uint8_t> oracle,
                        std::optional<std::size_t> skip = std::nullopt) {
  const auto skipped = [&](std::size_t i) { return skip && (i == *skip || i == *skip + 1); };
  if (program.size() == oracle.size()) {
    const std::size_t gap = skip ? *skip : program.size();
    const std::size_t resume = skip ? gap + 2 : program.size();
    if (std::memcmp(program.data(), oracle.data(), gap) == 0 &&
        std::memcmp(program.data() + resume, oracle.data() + resume, program.size() - resume) == 0) {
      return {};
    }
  }
  std::ostringstream text;
  if (program.size() != oracle.size()) {
    text << "the program's frame is " << program.size() << " bytes, not " << oracle.size();
    return text.str();
  }
  std::ostringstream listed;
  std::size_t differing = 0;
  for (std::size_t i = 0; i < program.size(); ++i) {
    if (skipped(i) || program[i] == oracle[i]) continue;
    if (differing++ < differing_bytes_listed) {
      listed << " ";
      put_hex(listed, i, 4);
      listed << ": " << hex_byte(program[i]) << " not " << hex_byte(oracle[i]) << ";";
    }
  }
  text << differing << " bytes differ (offset: program's not oracle's):" << listed.str();
  return text.str();
}

}  // namespace

std::string hex_dump(std::span<const std::uint8_t> frame, std::size_t limit) {
  std::ostringstream text;
  const std::size_t shown = std::min(frame.size(), limit);
  for (std::size_t line = 0; line < shown; line += 16) {
    text << "    ";
    put_hex(text, line, 4);
    text << " ";
    for (std::size_t i = line; i < std::min(shown, line + 16); ++i) text << " " << hex_byte(frame[i]);
    text << "\n";
  }
  if (shown < frame.size()) text << "    ... " << frame.size() - shown << " more bytes\n";
  return text.str();
}

differential_harness::differential_harness(program_under_test& program, const test_host& host)
    : program_(program), host_(host) {}

prediction differential_harness::check(std::span<const std::uint8_t> frame, std::string_view label) {
  const program_run run = program_.run(frame);
  prediction expected = predict(frame, host_);
  ++frames_;
  ++tally_[static_cast<std::size_t>(expected.reason) * fast_path_family_count + expected.family];

  if (!expected.handler_conflict.empty()) {
    disagree(label, frame, "the oracle's rules and handle_message differ: " + expected.handler_conflict);
  }
  if (run.verdict != static_cast<std::uint32_t>(expected.verdict)) {
    std::ostringstream what;
    what << "program ";
    put_verdict(what, run.verdict);
    what << ", oracle ";
    put_outcome(what, expected);
    disagree(label, frame, what.str());
  } else if (expected.verdict == xdp_verdict::pass) {
    // Passed on to the kernel exactly as it came.
    if (const std::string diff = differences(run.frame, frame); !diff.empty()) {
      std::ostringstream what;
      put_outcome(what, expected);
      what << ", but the frame was changed: " << diff;
      disagree(label, frame, what.str());
    }
  } else if (expected.verdict == xdp_verdict::tx) {
    check_reply(frame, label, expected, run.frame);
  }
  return expected;
}

void differential_harness::check_reply(std::span<const std::uint8_t> frame, std::string_view label,
                                       const prediction& expected, std::span<const std::uint8_t> reply) {
  const std::size_t checksum_at = expected.datagram.udp + udp_checksum_field;
  const bool any_invalid = expected.checksum == reply_checksum::invalid;
  const std::string diff =
      differences(reply, expected.reply, any_invalid ? std::optional(checksum_at) : std::nullopt);
  if (!diff.empty()) {
    disagree(label, frame, "the reply differs from the oracle's: " + diff);
    return;
  }
  if (any_invalid) {
    const bool zero = reply[checksum_at] == 0 && reply[checksum_at + 1] == 0;
    if (zero) {
      disagree(label, frame, "the request's UDP checksum did not verify, the reply has none (0)");
    } else if (udp_checksum_verifies(reply, expected.datagram)) {
      disagree(label, frame, "the request's UDP checksum did not verify, the reply's does");
    }
  }
  if (expected.verified_ipv4_header &&
      !ipv4_header_verifies(reply.subspan(*expected.verified_ipv4_header, 20))) {
    disagree(label, frame, "the IPv4 header checksum verified in the request, not in the reply");
  }
}

void differential_harness::check_counters() {
  const counter_readings counted = program_.counters();
  for (std::size_t index = 0; index < tally_.size(); ++index) {
    if (counted.packets[index] == tally_[index]) continue;
    const auto reason = static_cast<fast_path_reason>(index / fast_path_family_count);
    const auto family = static_cast<fast_path_family>(index % fast_path_family_count);
    ++disagreements_;
    if (counters_reported_.size() < reported_limit) {
      std::ostringstream text;
      text << "counter " << name_of(reason) << "/" << name_of(family) << ": program "
           << counted.packets[index] << ", oracle " << tally_[index] << "\n";
      counters_reported_.push_back(text.str());
    }
  }
}

void differential_harness::disagree(std::string_view label, std::span<const std::uint8_t> frame,
                                    const std::string& what) {
  ++disagreements_;
  if (reported_.size() >= reported_limit) return;
  std::ostringstream text;
  text << "[" << label << "] " << what << "\n  frame of " << frame.size() << " bytes:\n" << hex_dump(frame);
  reported_.push_back(text.str());
}

std::string differential_harness::report(std::size_t entries) const {
  std::ostringstream text;
  text << disagreements_ << " disagreements in " << frames_ << " frames";
  if (reported_.empty() && counters_reported_.empty()) {
    text << "\n";
    return text.str();
  }
  text << "; the first of them:\n";
  for (std::size_t i = 0; i < reported_.size() && i < entries; ++i) text << reported_[i];
  for (std::size_t i = 0; i < counters_reported_.size() && i < entries; ++i) text << counters_reported_[i];
  return text.str();
}

}  // namespace reflector::xdp::test
