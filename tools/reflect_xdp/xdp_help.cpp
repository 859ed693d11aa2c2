#include "tools/reflect_xdp/xdp_help.h"

namespace reflector::tools {

const char* const xdp_help =
    "usage: reflect-xdp COMMAND [ARGUMENTS]\n"
    "\n"
    "Attaches the fast path to a network interface: an XDP program that\n"
    "answers every valid QUERY to UDP port 1213 addressed to this host in the\n"
    "driver, before the kernel's network stack, and leaves FORWARDs and\n"
    "everything it does not fully understand to reflectord. It answers even\n"
    "while reflectord is stopped, and firewall rules on this host do not see\n"
    "what it answers. Needs root.\n"
    "\n"
    "commands:\n"
    "  attach IFACE [--mode native|generic]\n"
    "                 attach it (native: in the driver, the default; generic:\n"
    "                 any interface, slower); on an interface where it is\n"
    "                 attached already, read the host's addresses and the\n"
    "                 interface's MAC address again\n"
    "  detach IFACE   detach it\n"
    "  status [--json]\n"
    "                 each interface it is attached to\n"
    "  stats [IFACE] [--json]\n"
    "                 frames per verdict, reason and address family, summed\n"
    "                 over the interfaces, or of IFACE alone\n"
    "\n"
    "options:\n"
    "  -h, --help     this text (after a command: that command's)\n"
    "  --version      the version\n"
    "\n"
    "The attachment and the counters are pinned under /sys/fs/bpf/reflector/,\n"
    "so that they outlive this program. Exit status: 0 done, 1 refused (bad\n"
    "arguments, no privilege, no such interface, another XDP program attached).\n";

const char* const attach_help =
    "usage: reflect-xdp attach IFACE [--mode native|generic]\n"
    "\n"
    "Attaches the fast path to IFACE. It answers QUERYs to the addresses this\n"
    "host has when it attaches; after they change, attach again: on an\n"
    "interface where it is attached already, attach reads them again.\n"
    "\n"
    "options:\n"
    "  --mode MODE    native (in the driver; the default) or generic (any\n"
    "                 interface, after the kernel has made a socket buffer)\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

const char* const detach_help =
    "usage: reflect-xdp detach IFACE\n"
    "\n"
    "Detaches the fast path from IFACE and removes its pins; reflectord\n"
    "answers alone again.\n"
    "\n"
    "options:\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

const char* const status_help =
    "usage: reflect-xdp status [--json]\n"
    "\n"
    "Each interface the fast path is attached to: its mode, program id, how\n"
    "many local addresses it answers for and how many QUERYs it answered.\n"
    "\n"
    "options:\n"
    "  --json         one JSON object\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

const char* const stats_help =
    "usage: reflect-xdp stats [IFACE] [--json]\n"
    "\n"
    "Frames the fast path has judged since it was attached, per reason and\n"
    "address family: answered (sent back as a QUERY_REPLY), dropped_* (what\n"
    "reflectord would drop as well: short, magic, type) and passed_* (left to\n"
    "the kernel and reflectord: forward, oversize, not_local, ip_options,\n"
    "fragment, zero_checksum, bad_source, malformed, other).\n"
    "\n"
    "options:\n"
    "  --json         one JSON object\n"
    "  -h, --help     this text\n"
    "  --version      the version\n";

}  // namespace reflector::tools
