#include "tools/reflect_bench/bench_help.h"

#include "tools/common/protocol_numbers.h"

namespace reflector::tools {

// Numbers in braces are the protocol's, filled in by with_protocol_numbers.

const std::string bench_help = with_protocol_numbers(
    R"(Usage: reflect-bench [OPTIONS] SERVER

Loads a reflector service with QUERYs (or with FORWARDs, see --forward) from
K sockets with distinct source ports, so that the service's port sharing
spreads them over its workers, and reports what came back. Datagrams go out
and come in with sendmmsg and recvmmsg in batches.

SERVER is a host name or an address literal with an optional port (default
{service_port}): 192.0.2.1, [2001:db8::1]:{service_port}.

Two modes:
  closed loop (default)  each socket keeps --window requests in flight: the
                         service runs at saturation
  open loop (--rate N)   N requests per second in total, whatever comes back

Each reply is timed and checked without any state kept per request: the
send time and a sequence number travel in the prefix and transaction id,
which the service returns untouched. A reply is attributed to its request
by its first 20 bytes; it must be of the reply type, as long as the request,
and carry the sending socket's own address and port. Anything else is
counted as mismatched (type, length, address, or foreign: not attributable
to a request of this run). Only the first good reply to a request counts as
answered, and only it is timed; further ones count as duplicated. Each
socket remembers which of its latest 65536 (or more) requests were
answered; a reply to an older one counts as late, not as an answer.
Replies to one socket come back in order, so a gap in the sequence counts
as lost; a socket whose replies stop for 0.2 s writes off what it has in
flight. Lost = sent - answered after the drain. Run it with no NAT between
it and the service, or every reply is an address mismatch.

Output: once a second, on a terminal, a line on stderr with sent, answered,
lost and rate; at the end a summary on stdout: offered, answered,
duplicated, lost (count and %), mismatched, throughput, latency
p50/p90/p99/p99.9/max and, with --server-pid, the server's CPU seconds per
million replies (read from the kernel's process information, so the server
must run on this machine), with this tool's own CPU next to it. Lost is
split into lost at the load generator (dropped by the kernel at this tool's
own sockets, as far as it counts them, at most the whole loss) and lost
beyond it; where the system keeps no drop count per socket both read n/a
(null in JSON).

SIGINT (Ctrl-C) or SIGTERM stops the sending; after a drain of at most
0.1 s the summary covers what ran. A second signal ends it at once.

Options:
  --sockets K        sending sockets, 1 to 1024 (default 8)
  --window W         closed loop: requests in flight per socket, 1 to 4096
                     (default 32)
  --rate N           open loop: requests per second in total, 1 to 10000000
  --duration S       send for S seconds, 0.1 to 3600 (default 10)
  --count N          stop sending after N requests, 1 to 10000000000
  --size BYTES       request size, {header_size} to {longest_request} (default {header_size}); the bytes after
                     the header are zeros
  --batch N          datagrams per sendmmsg/recvmmsg call, 1 to 1024
                     (default 64)
  --drain S          after sending, wait up to S seconds for late replies,
                     0 to 10 (default 0.5)
  --forward TARGET   send FORWARDs naming TARGET (host:port or [v6]:port)
                     instead of QUERYs; TARGET must be an address of this
                     host, which reflect-bench binds to receive the
                     FORWARD_REPLYs, and one the service forwards to (port
                     {lowest_forward_port} or above; not loopback, private, link-local,
                     multicast, unspecified or broadcast)
  --server-pid PID   report the CPU time process PID used during the run
  --json             print the summary as one JSON object
  --histogram        draw the latency distribution after the summary
  -4, -6             use only IPv4 or only IPv6 addresses of SERVER
  -h, --help         print this help
  --version          print the version

Exit status: 0 the run finished and requests were answered (losses,
duplicates and late replies are reported, not failures); 1 bad input;
2 nothing could be sent, the network failed, or nothing was answered;
3 replies mismatched; 130 or 143 stopped by SIGINT or SIGTERM. With 2 and 3
after a run, the summary is still printed and a line on stderr says what to
look at; duplicates add a warning line there.
)");

}  // namespace reflector::tools
