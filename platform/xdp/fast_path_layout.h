/* What the XDP fast path and its loader agree on: the maps' names and
 * layouts and the verdict reasons it counts. Read by the BPF program (C) and
 * by the loader, the tests and the tools (C++), so it is plain C. */
#ifndef REFLECTOR_FAST_PATH_LAYOUT_H
#define REFLECTOR_FAST_PATH_LAYOUT_H

/* Why a frame got its verdict. The order is the counters' order; append
 * only, since stats of a program already attached are read by index. */
enum fast_path_reason {
  /* XDP_TX: a valid QUERY, answered in place. */
  reason_answered = 0,
  /* XDP_DROP: what the service would drop anyway. */
  reason_dropped_short,     /* payload shorter than the 40-byte header */
  reason_dropped_magic,     /* another magic */
  reason_dropped_type,      /* a type other than QUERY and FORWARD */
  /* XDP_PASS: left to the kernel and the service. */
  reason_passed_forward,    /* a FORWARD: its filter lives in the service */
  reason_passed_oversize,   /* a QUERY longer than the service takes in */
  reason_passed_not_local,  /* port 1213, but not addressed to this host
                               (nor on a VLAN it is on) */
  reason_passed_ip_options, /* IPv4 with options */
  reason_passed_fragment,   /* an IPv4 fragment */
  reason_passed_zero_checksum, /* IPv6 without a UDP checksum */
  reason_passed_bad_source, /* a source the service must not answer */
  reason_passed_malformed,  /* lengths that do not add up */
  reason_passed_other,      /* not UDP to port 1213 */
  fast_path_reason_count
};

/* The address family of the frame: IPv4, IPv6, anything else. */
enum fast_path_family {
  family_ipv4 = 0,
  family_ipv6,
  family_other,
  fast_path_family_count
};

/* Per-CPU packet counters, one per reason and family:
 * index = reason * fast_path_family_count + family. */
#define FAST_PATH_COUNTERS_MAP "counters"
#define FAST_PATH_COUNTER_COUNT ((int)fast_path_reason_count * (int)fast_path_family_count)

/* The interface's own MAC address, the one entry of an array map: a frame
 * to any other destination MAC is not this host's to answer. */
#define FAST_PATH_INTERFACE_MAP "interface"
struct fast_path_interface {
  unsigned char mac[6];
  unsigned char unused[2];
};

/* The host's local addresses, as 16 bytes (IPv4 as ::ffff:a.b.c.d); a
 * QUERY is answered only when it is addressed to one of them. */
#define FAST_PATH_LOCAL_ADDRESSES_MAP "local_addresses"
#define FAST_PATH_LOCAL_ADDRESSES_MAX 1024
struct fast_path_address {
  unsigned char bytes[16];
};

/* The broadcast addresses of the host's IPv4 subnets (the first and last
 * address of each subnet of 30 bits or fewer), in the same 16-byte form: a
 * QUERY from one of them is left to the kernel, which refuses it, since its
 * answer would reach every host on that subnet. Every one must fit, or the
 * loader refuses to attach. */
#define FAST_PATH_LOCAL_BROADCASTS_MAP "local_broadcasts"
#define FAST_PATH_LOCAL_BROADCASTS_MAX 4096

/* The 802.1Q VLANs the host is on through this interface, one flag per VLAN
 * id (1: a VLAN interface on it is up). A tagged frame of any other VLAN is
 * no more this host's than one to another MAC address. */
#define FAST_PATH_VLANS_MAP "vlans"
#define FAST_PATH_VLAN_IDS 4096

/* The program's name in the object file. */
#define FAST_PATH_PROGRAM "answer_queries"

#endif
