/* The QUERY fast path: a valid QUERY addressed to this host, untagged or on
 * a VLAN the host is on, is turned into its QUERY_REPLY in the frame it came
 * in and sent back out of the same interface, before the kernel's network
 * stack sees it. What the service would drop is dropped; everything else
 * (FORWARDs, oversize requests, IP options, fragments, anything not fully
 * understood) goes on to the kernel and the service unchanged. Every
 * verdict is counted by reason and family. */
#include <linux/bpf.h>
#include <linux/if_ether.h>
#include <linux/in.h>
#include <linux/ip.h>
#include <linux/ipv6.h>
#include <linux/udp.h>
#include <bpf/bpf_endian.h>
#include <bpf/bpf_helpers.h>

#include "fast_path_layout.h"

#define SERVICE_PORT 1213
#define HEADER_SIZE 40
#define LONGEST_REQUEST 1232
#define TYPE_OFFSET 20
#define KEY_OFFSET 4
#define XPORT_OFFSET 22
#define XADDRESS_OFFSET 24
#define QUERY 0x0001
#define FORWARD 0x0002
#define VLAN_HEADER_SIZE 4

struct {
  __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
  __uint(max_entries, FAST_PATH_COUNTER_COUNT);
  __type(key, __u32);
  __type(value, __u64);
} counters SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, 1);
  __type(key, __u32);
  __type(value, struct fast_path_interface);
} interface SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, FAST_PATH_LOCAL_ADDRESSES_MAX);
  __type(key, struct fast_path_address);
  __type(value, __u8);
} local_addresses SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_HASH);
  __uint(max_entries, FAST_PATH_LOCAL_BROADCASTS_MAX);
  __type(key, struct fast_path_address);
  __type(value, __u8);
} local_broadcasts SEC(".maps");

struct {
  __uint(type, BPF_MAP_TYPE_ARRAY);
  __uint(max_entries, FAST_PATH_VLAN_IDS);
  __type(key, __u32);
  __type(value, __u8);
} vlans SEC(".maps");

/* What the parse of one frame found: where things are and what they say. */
struct frame {
  void* end;
  struct ethhdr* ethernet;
  struct udphdr* udp;
  unsigned char* payload;
  __u32 payload_length;
  __u32 family;
  struct fast_path_address source;
  struct fast_path_address destination;
  /* Never this host's: IPv6 to ::ffff:a.b.c.d, or a group destination
   * (IPv4 multicast and broadcast, IPv6 multicast). */
  int group_or_mapped_destination;
  int foreign_vlan; /* tagged with a VLAN the host is not on here */
};

static __always_inline int count(__u32 family, __u32 reason, int verdict) {
  __u32 index = reason * (__u32)fast_path_family_count + family;
  __u64* counter = bpf_map_lookup_elem(&counters, &index);
  if (counter) *counter += 1;
  return verdict;
}

static __always_inline void map_ipv4(struct fast_path_address* out, __be32 address) {
  __builtin_memset(out->bytes, 0, 10);
  out->bytes[10] = 0xff;
  out->bytes[11] = 0xff;
  __builtin_memcpy(&out->bytes[12], &address, 4);
}

static __always_inline int is_own_unicast_mac(const struct ethhdr* ethernet) {
  __u32 zero = 0;
  const struct fast_path_interface* own = bpf_map_lookup_elem(&interface, &zero);
  if (!own) return 0;
  unsigned char differ = 0;
#pragma unroll
  for (int i = 0; i < ETH_ALEN; i++) differ |= ethernet->h_dest[i] ^ own->mac[i];
  return differ == 0;
}

static __always_inline int is_local(const struct fast_path_address* address) {
  return bpf_map_lookup_elem(&local_addresses, address) != 0;
}

/* A subnet's broadcast address as the source: the answer would go to every
 * host on that subnet, and the kernel refuses such a source. */
static __always_inline int is_local_broadcast(const struct fast_path_address* address) {
  return bpf_map_lookup_elem(&local_broadcasts, address) != 0;
}

/* Tag control information to "a VLAN the host is on through this
 * interface"; the priority bits say nothing of that. */
static __always_inline int is_host_vlan(__be16 tci) {
  __u32 id = bpf_ntohs(tci) & 0x0fff;
  const __u8* on = bpf_map_lookup_elem(&vlans, &id);
  return on && *on;
}

/* Sources the kernel would not deliver, or whose answer could reach more
 * than one host: unspecified, loopback, multicast, broadcast and class E,
 * IPv4-mapped IPv6 sources (and, in judge_udp, a group MAC, port 0, the
 * host's own addresses and the broadcast addresses of its subnets). */
static __always_inline int is_bad_ipv4_source(__u32 host) {
  __u8 first = host >> 24;
  return first == 0 || first == 127 || first >= 224;
}

/* The special-purpose ranges that the egress guard (reflector-egress.nft,
 * pf-reflector.conf) keeps replies from reaching. Replies sent from here
 * never pass the host's firewall, so QUERYs from these go to the kernel and
 * the service, where the guard sees the answer. Keep in step with the
 * guard's special_ipv4 and special_ipv6 sets. */
struct prefix {
  __u32 words[4]; /* host order */
  __u32 bits;
};

static const struct prefix guarded_ipv4[] = {
    {{0x64400000}, 10}, /* 100.64.0.0/10 */
    {{0xc0000000}, 24}, /* 192.0.0.0/24 */
    {{0xc0586300}, 24}, /* 192.88.99.0/24 */
    {{0xc6120000}, 15}, /* 198.18.0.0/15 */
    {{0xf0000000}, 4},  /* 240.0.0.0/4 */
};

static const struct prefix guarded_ipv6[] = {
    {{0, 0, 0}, 96},                   /* ::/96 */
    {{0, 0, 0xffff0000}, 96},          /* ::ffff:0:0:0/96 */
    {{0x0064ff9b, 0, 0}, 96},          /* 64:ff9b::/96 */
    {{0x0064ff9b, 0x00010000}, 48},    /* 64:ff9b:1::/48 */
    {{0x01000000, 0}, 64},             /* 100::/64 */
    {{0x20010000}, 32},                /* 2001::/32 */
    {{0x20010002, 0x00000000}, 48},    /* 2001:2::/48 */
    {{0x20010010}, 28},                /* 2001:10::/28 */
    {{0x20010020}, 28},                /* 2001:20::/28 */
    {{0x20020000}, 16},                /* 2002::/16 */
    {{0x5f000000}, 16},                /* 5f00::/16 */
    {{0xfe000000}, 9},                 /* fe00::/9 */
    {{0xfec00000}, 10},                /* fec0::/10 */
};

static __always_inline int in_prefix(const __u32* words, const struct prefix* prefix) {
  int match = 1;
#pragma unroll
  for (int i = 0; i < 4; i++) {
    int covered = (int)prefix->bits - 32 * i;
    if (covered <= 0) break;
    __u32 mask = covered >= 32 ? 0xffffffff : ~(0xffffffffu >> covered);
    if ((words[i] & mask) != prefix->words[i]) match = 0;
  }
  return match;
}

static __always_inline int is_guarded_ipv4_source(__u32 host) {
  int guarded = 0;
#pragma unroll
  for (int i = 0; i < (int)(sizeof(guarded_ipv4) / sizeof(guarded_ipv4[0])); i++)
    guarded |= in_prefix(&host, &guarded_ipv4[i]);
  return guarded;
}

static __always_inline int is_bad_ipv6_source(const struct in6_addr* source) {
  __u32 words[4];
#pragma unroll
  for (int i = 0; i < 4; i++) words[i] = bpf_ntohl(source->in6_u.u6_addr32[i]);
  if (words[0] >> 24 == 0xff) return 1;                                /* multicast */
  if (words[0] == 0 && words[1] == 0 && words[2] == 0xffff) return 1;  /* IPv4-mapped */
  int guarded = 0;                                 /* ::/96 holds :: and ::1 */
#pragma unroll
  for (int i = 0; i < (int)(sizeof(guarded_ipv6) / sizeof(guarded_ipv6[0])); i++)
    guarded |= in_prefix(words, &guarded_ipv6[i]);
  return guarded;
}

/* One's complement update of the UDP checksum for the 20 bytes that the
 * rewrite replaces (bytes 20-39 of the payload, 16-bit aligned in the UDP
 * datagram): a valid checksum stays valid, an invalid one stays invalid. */
static __always_inline __u16 updated_checksum(__u16 checksum, const __u16* before,
                                               const __u16* after) {
  __u32 sum = (__u16)~checksum;
#pragma unroll
  for (int i = 0; i < 10; i++) sum += (__u16)~before[i] + (__u32)after[i];
  sum = (sum & 0xffff) + (sum >> 16);
  sum = (sum & 0xffff) + (sum >> 16);
  __u16 result = (__u16)~sum;
  /* A computed 0 travels as ffff: 0 would mean "no checksum" over IPv4. */
  return result == 0 ? 0xffff : result;
}

static __always_inline void swap_bytes(unsigned char* a, unsigned char* b, int size) {
#pragma unroll
  for (int i = 0; i < 16; i++) {
    if (i < size) {
      unsigned char t = a[i];
      a[i] = b[i];
      b[i] = t;
    }
  }
}

/* Turns the QUERY into its QUERY_REPLY in place and sends it back. The
 * source port and address are read before any swap. */
static __always_inline int answer(struct frame* f, unsigned char* source_ip,
                                  unsigned char* destination_ip, int ip_size) {
  unsigned char* payload = f->payload;
  if ((void*)(payload + HEADER_SIZE) > f->end) return XDP_PASS;

  __u16 before[10];
  __builtin_memcpy(before, payload + TYPE_OFFSET, sizeof(before));

  __u8 port[2];
  __builtin_memcpy(port, &f->udp->source, 2);
  payload[TYPE_OFFSET] = 0x01;
  payload[TYPE_OFFSET + 1] = 0x01;
  payload[XPORT_OFFSET] = port[0] ^ payload[KEY_OFFSET];
  payload[XPORT_OFFSET + 1] = port[1] ^ payload[KEY_OFFSET + 1];
#pragma unroll
  for (int i = 0; i < 16; i++)
    payload[XADDRESS_OFFSET + i] = f->source.bytes[i] ^ payload[KEY_OFFSET + i];

  if (f->udp->check != 0)
    f->udp->check = updated_checksum(f->udp->check, before,
                                     (const __u16*)(payload + TYPE_OFFSET));

  /* Swaps leave the IPv4 header checksum and the UDP pseudo-header sum as
   * they were; TTL, hop limit, TOS and flow label stay the request's. */
  swap_bytes(f->ethernet->h_source, f->ethernet->h_dest, ETH_ALEN);
  swap_bytes(source_ip, destination_ip, ip_size);
  __be16 request_source = f->udp->source;
  f->udp->source = f->udp->dest;
  f->udp->dest = request_source;
  return XDP_TX;
}

/* The verdict on a UDP datagram to port 1213 addressed to this host, from
 * its payload alone, as the service would judge it. */
static __always_inline int judge_payload(struct frame* f, unsigned char* source_ip,
                                         unsigned char* destination_ip, int ip_size) {
  unsigned char* payload = f->payload;
  if (f->payload_length < HEADER_SIZE) return count(f->family, reason_dropped_short, XDP_DROP);
  if ((void*)(payload + HEADER_SIZE) > f->end) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (payload[4] != 0x12 || payload[5] != 0x13 || payload[6] != 0x10 || payload[7] != 0x17)
    return count(f->family, reason_dropped_magic, XDP_DROP);
  __u16 type = (__u16)payload[TYPE_OFFSET] << 8 | payload[TYPE_OFFSET + 1];
  if (type == FORWARD) return count(f->family, reason_passed_forward, XDP_PASS);
  if (type != QUERY) return count(f->family, reason_dropped_type, XDP_DROP);
  if (f->payload_length > LONGEST_REQUEST) return count(f->family, reason_passed_oversize, XDP_PASS);
  int verdict = answer(f, source_ip, destination_ip, ip_size);
  return count(f->family, verdict == XDP_TX ? reason_answered : reason_passed_malformed, verdict);
}

/* The checks common to both families once the IP header is read: the
 * port, whether the frame is this host's, lengths, the source. */
static __always_inline int judge_udp(struct frame* f, __u32 ip_payload_length, int bad_ip_source,
                                     unsigned char* source_ip, unsigned char* destination_ip,
                                     int ip_size) {
  struct udphdr* udp = f->udp;
  if ((void*)(udp + 1) > f->end) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (udp->dest != bpf_htons(SERVICE_PORT)) return count(f->family, reason_passed_other, XDP_PASS);
  if (!is_own_unicast_mac(f->ethernet) || f->foreign_vlan || f->group_or_mapped_destination ||
      !is_local(&f->destination))
    return count(f->family, reason_passed_not_local, XDP_PASS);
  __u32 udp_length = bpf_ntohs(udp->len);
  if (udp_length < sizeof(*udp) || udp_length != ip_payload_length ||
      (void*)((unsigned char*)udp + udp_length) > f->end)
    return count(f->family, reason_passed_malformed, XDP_PASS);
  /* One of this host's own addresses as the source is a martian to the
   * kernel, which drops it; so does the service's path. */
  if (bad_ip_source || (f->ethernet->h_source[0] & 1) || udp->source == 0 || is_local(&f->source) ||
      is_local_broadcast(&f->source))
    return count(f->family, reason_passed_bad_source, XDP_PASS);
  /* Over IPv6 a zero checksum is invalid; the kernel drops and counts it. */
  if (f->family == family_ipv6 && udp->check == 0)
    return count(f->family, reason_passed_zero_checksum, XDP_PASS);
  f->payload = (unsigned char*)(udp + 1);
  f->payload_length = udp_length - sizeof(*udp);
  return judge_payload(f, source_ip, destination_ip, ip_size);
}

static __always_inline int judge_ipv4(struct frame* f, struct iphdr* ip) {
  f->family = family_ipv4;
  if ((void*)(ip + 1) > f->end) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (ip->version != 4 || ip->ihl < 5) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (ip->ihl > 5) return count(f->family, reason_passed_ip_options, XDP_PASS);
  if (ip->frag_off & bpf_htons(0x3fff)) return count(f->family, reason_passed_fragment, XDP_PASS);
  if (ip->protocol != IPPROTO_UDP) return count(f->family, reason_passed_other, XDP_PASS);
  __u32 total_length = bpf_ntohs(ip->tot_len);
  if (total_length < sizeof(*ip) || (void*)((unsigned char*)ip + total_length) > f->end)
    return count(f->family, reason_passed_malformed, XDP_PASS);
  map_ipv4(&f->source, ip->saddr);
  map_ipv4(&f->destination, ip->daddr);
  /* 224/4 and 240/4, which holds 255.255.255.255 */
  f->group_or_mapped_destination = bpf_ntohl(ip->daddr) >> 28 >= 0xe;
  f->udp = (struct udphdr*)(ip + 1);
  __u32 source = bpf_ntohl(ip->saddr);
  return judge_udp(f, total_length - sizeof(*ip),
                   is_bad_ipv4_source(source) || is_guarded_ipv4_source(source),
                   (unsigned char*)&ip->saddr, (unsigned char*)&ip->daddr, 4);
}

static __always_inline int judge_ipv6(struct frame* f, struct ipv6hdr* ip) {
  f->family = family_ipv6;
  if ((void*)(ip + 1) > f->end) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (ip->version != 6) return count(f->family, reason_passed_malformed, XDP_PASS);
  if (ip->nexthdr != IPPROTO_UDP) return count(f->family, reason_passed_other, XDP_PASS);
  __builtin_memcpy(f->source.bytes, &ip->saddr, 16);
  __builtin_memcpy(f->destination.bytes, &ip->daddr, 16);
  const __u32* destination = ip->daddr.in6_u.u6_addr32;
  f->group_or_mapped_destination =
      ip->daddr.in6_u.u6_addr8[0] == 0xff ||
      (destination[0] == 0 && destination[1] == 0 && destination[2] == bpf_htonl(0xffff));
  f->udp = (struct udphdr*)(ip + 1);
  return judge_udp(f, bpf_ntohs(ip->payload_len), is_bad_ipv6_source(&ip->saddr),
                   (unsigned char*)&ip->saddr, (unsigned char*)&ip->daddr, 16);
}

SEC("xdp")
int answer_queries(struct xdp_md* context) {
  void* data = (void*)(long)context->data;
  struct frame f = {.end = (void*)(long)context->data_end, .ethernet = data, .family = family_other};
  struct ethhdr* ethernet = data;
  if ((void*)(ethernet + 1) > f.end) return count(family_other, reason_passed_malformed, XDP_PASS);

  __be16 protocol = ethernet->h_proto;
  unsigned char* network = (unsigned char*)(ethernet + 1);
  if (protocol == bpf_htons(ETH_P_8021Q)) {
    if ((void*)(network + VLAN_HEADER_SIZE) > f.end)
      return count(family_other, reason_passed_malformed, XDP_PASS);
    f.foreign_vlan = !is_host_vlan(*(__be16*)network);
    protocol = *(__be16*)(network + 2);
    network += VLAN_HEADER_SIZE;
  }
  if (protocol == bpf_htons(ETH_P_IP)) return judge_ipv4(&f, (struct iphdr*)network);
  if (protocol == bpf_htons(ETH_P_IPV6)) return judge_ipv6(&f, (struct ipv6hdr*)network);
  return count(family_other, reason_passed_other, XDP_PASS);
}

char LICENSE[] SEC("license") = "BSD-2-Clause";
