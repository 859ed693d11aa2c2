#include "tools/reflect/help_text.h"

#include "tools/common/protocol_numbers.h"

namespace reflector::tools {

// Numbers in braces are the protocol's, filled in by with_protocol_numbers.

const std::string reflect_help = with_protocol_numbers(
    R"(Usage: reflect COMMAND [OPTIONS] ARGUMENTS...

Asks a reflector service (UDP port {service_port}) how this host's datagrams look
from outside: the address and port that any NAT on the way maps them to.

Commands:
  query SERVER            print this host's address and port as SERVER saw them
  forward SERVER TARGET   ask SERVER to send this host's address to TARGET
  listen [ADDRESS]:PORT   print the forwarded addresses that arrive on PORT
  nat SERVER_A SERVER_B   classify the NAT between this host and two servers

Run 'reflect COMMAND --help' for the options of each command.

SERVER is a host name or an address literal with an optional port (default
{service_port}): reflector.example, 192.0.2.1, 192.0.2.1:{service_port}, 2001:db8::1,
[2001:db8::1]:{service_port}. An IPv6
address takes a port only in brackets: 2001:db8::3:{service_port} is an address
alone, the same for every command.

Options:
  -h, --help    print this help
  --version     print the version

Exit status: 0 success; 1 bad input (unknown host, malformed address or
port, port 0, missing argument, unknown option); 2 no answer from a server,
or the network refused to send.
)");

const std::string query_help = with_protocol_numbers(
    R"(Usage: reflect query [OPTIONS] SERVER

Sends a QUERY to SERVER and prints this host's address and port as SERVER
saw them, for example 203.0.113.5:40000 or [2001:db8::5]:40000.

SERVER is a host name or an address literal with an optional port (default
{service_port}). An IPv6
address takes a port only in brackets: 2001:db8::3:{service_port} is an address
alone, the same for every command. The transaction id is taken from the system's random source. A reply
counts only if it comes from SERVER's address and port, is as long as the
request, is a QUERY_REPLY and carries the request's prefix and transaction
id; anything else is ignored. When no reply comes in time the QUERY is sent
again, and each wait is twice as long as the one before (at most 60 s).

Options:
  -4, -6        use only IPv4 or only IPv6 addresses of SERVER
                (default: the first address it resolves to)
  --tries N     send at most N times, 1 to 100 (default 3)
  --timeout S   wait S seconds for the first reply, 0.001 to 60 (default 0.5);
                the wait doubles after each try, up to 60 s
  --json        print one JSON object instead of text: server, address,
                port, endpoint, tries, round_trip_ms (timed from just
                before the last send)
  -h, --help    print this help
  --version     print the version

Exit status: 0 answered; 1 bad input; 2 no reply after the last try, or the
network refused to send (the error names the server).
)");

const std::string forward_help = with_protocol_numbers(
    R"(Usage: reflect forward [OPTIONS] SERVER TARGET

Asks SERVER to send this host's address and port, as SERVER sees them, to
TARGET in a FORWARD_REPLY, and prints what it asked. Run 'reflect listen'
at TARGET to see what arrives.

SERVER is a host name or an address literal with an optional port (default
{service_port}). TARGET needs a port: host:port, 192.0.2.7:5000 or
[2001:db8::7]:5000; it may be of either address family. An IPv6
address takes a port only in brackets: 2001:db8::3:{service_port} is an address
alone, the same for every command.

The service sends nothing back to the requester, so this command cannot
know whether the request arrived or whether the target was refused. The
service silently refuses a target whose port is below {lowest_forward_port} or whose address
is loopback, private, link-local, multicast, unspecified or broadcast;
reflect warns on stderr about such a target, naming the rule it breaks, but
sends the request anyway. The request is sent once.

Options:
  -4, -6        use only IPv4 or only IPv6 addresses of SERVER
  --json        print one JSON object instead of text: server, target,
                target_allowed
  -h, --help    print this help
  --version     print the version

Exit status: 0 the request was sent; 1 bad input; 2 the network refused to
send.
)");

const std::string listen_help = with_protocol_numbers(
    R"(Usage: reflect listen [OPTIONS] [ADDRESS]:PORT

Receives FORWARD_REPLYs on PORT and prints, one line for each, the
requester's address and port that it carries and the server it came from:

  198.51.100.7:40000 from 192.0.2.2:{service_port}

ADDRESS is a local address or host name (192.0.2.7:5000, [2001:db8::7]:5000);
without it (':5000') every local address, IPv6 and IPv4, is used. Other
datagrams are ignored. By default a FORWARD_REPLY from anyone is printed:
the datagram's content cannot prove who sent it, so use --from to take
only those from the reflector you asked. Without --count or --timeout it
runs until it is interrupted.

Options:
  -4, -6        with no ADDRESS, listen on IPv4 only or IPv6 only
  --from SERVER print only replies sent from SERVER's address and port
                (default port {service_port}); others are ignored
  --count N     stop after N forward replies, 1 to 1000000000
  --timeout S   stop after S seconds, 0.001 to 86400
  --json        print one JSON object per reply instead of text: requester,
                server, length
  -h, --help    print this help
  --version     print the version

Exit status: 0 when --count replies arrived, or when --timeout ended a run
without --count; 1 bad input, or the address cannot be listened on; 2 when
--timeout ended the run before --count replies arrived.
)");

const std::string nat_help = with_protocol_numbers(
    R"(Usage: reflect nat [OPTIONS] SERVER_A SERVER_B

Classifies the NAT between this host and two reflectors that run on
different hosts. Both servers must be of one address family; each is
given as SERVER is for 'reflect query'.

  mapping     One local socket queries A, then B. If both saw the same
              address and port, mapping is endpoint-independent; if not,
              endpoint-dependent.
  filtering   A second local socket queries A only; a third asks B to
              forward to the second socket's mapping, which B has never
              been sent to. If that datagram arrives, filtering is
              endpoint-independent. A control forward through A to the same
              mapping must arrive for any verdict: if it does and B's does
              not, filtering is endpoint-dependent; if it does not, the
              result is inconclusive.
  translation whether the address and port A saw are this host's own.

Limits. Both reflectors send from the one fixed port {service_port}, so this test
cannot tell address-dependent from address-and-port-dependent behaviour,
neither for mapping nor for filtering. It does not measure how long a
mapping lives, whether the NAT preserves ports, or hairpinning. A datagram
lost more often than the retries allow looks like a filter. The servers
refuse to forward to loopback, private, link-local, multicast, unspecified
and broadcast addresses, so when the mapped address is one of those (for
example no NAT between two hosts on a private network) filtering is
inconclusive.

Options:
  -4, -6        use only IPv4 or only IPv6 addresses of the servers
                (default: the family of the first address SERVER_A has)
  --tries N     send each request at most N times, 1 to 100 (default 3)
  --timeout S   wait S seconds for the first answer, 0.001 to 60
                (default 0.5); the wait doubles after each try, up to 60 s
  --json        print one JSON object instead of text: server_a, server_b,
                local, mapped_by_a, mapped_by_b, translated, mapping,
                filtering, forward_from_b_arrived, control_from_a_arrived
  -h, --help    print this help
  --version     print the version

Exit status: 0 a report was printed (an inconclusive one included); 1 bad
input; 2 a server did not answer a query, or the network refused to send.
)");

}  // namespace reflector::tools
