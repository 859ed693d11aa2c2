/* A router between two veth pairs that forwards every frame by XDP
 * redirect, for bench/compare-xdp: the server's end then receives frames
 * as a network interface's driver hands them over, in pages, rather than
 * the socket buffers a local sender makes. relay_to maps the ifindex a
 * frame came in by to the one it leaves by. */
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>

struct {
  __uint(type, BPF_MAP_TYPE_DEVMAP_HASH);
  __uint(max_entries, 8);
  __type(key, __u32);
  __type(value, __u32);
} relay_to SEC(".maps");

SEC("xdp")
int relay(struct xdp_md* context) {
  return bpf_redirect_map(&relay_to, context->ingress_ifindex, XDP_PASS);
}

char LICENSE[] SEC("license") = "BSD-2-Clause";
