#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/.

handle_message seeds: 16 bytes slot address, 2 bytes slot port, datagram.
forward_filter seeds: 2 bytes port, 16 bytes address.
Run it again after changing a seed; the files it writes are committed.
"""
import ipaddress
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = bytes([0x12, 0x13, 0x10, 0x17])
TXID = bytes(range(1, 13))
PREFIX = bytes([0xAA, 0xBB, 0xCC, 0xDD])


def address(text):
    a = ipaddress.ip_address(text)
    if a.version == 4:
        return bytes(10) + b"\xff\xff" + a.packed
    return a.packed


def mask(port, addr, key):
    return bytes(p ^ k for p, k in zip(struct.pack(">H", port), key[:2])) + bytes(
        a ^ k for a, k in zip(addr, key)
    )


def message(msg_type, target=None, tail=b"", magic=MAGIC):
    key = magic + TXID
    body = mask(target[1], address(target[0]), key) if target else bytes(18)
    return PREFIX + magic + TXID + struct.pack(">H", msg_type) + body + tail


def slot(sender, port, datagram):
    return address(sender) + struct.pack(">H", port) + datagram


HANDLER_SEEDS = {
    "query_ipv4_sender": slot("192.0.2.1", 0x9C40, message(0x0001)),
    "query_ipv6_sender": slot("2001:db8::5", 40000, message(0x0001)),
    "query_48_bytes": slot("192.0.2.1", 40000, message(0x0001, tail=bytes(range(8)))),
    "query_1232_bytes": slot("2001:db8::5", 40000, message(0x0001, tail=bytes(1192))),
    "query_39_bytes": slot("192.0.2.1", 40000, message(0x0001)[:39]),
    "query_magic_reversed": slot("192.0.2.1", 40000, message(0x0001, magic=MAGIC[::-1])),
    "forward_accepted_ipv6": slot("192.0.2.1", 0x9C40, message(0x0002, ("2001:db8::1", 5000))),
    "forward_accepted_ipv4": slot("2001:db8::5", 40000, message(0x0002, ("198.51.100.1", 1024))),
    "forward_refused_private": slot("192.0.2.1", 40000, message(0x0002, ("10.0.0.1", 5000))),
    "forward_refused_loopback": slot("192.0.2.1", 40000, message(0x0002, ("::1", 5000))),
    "forward_refused_link_local": slot("192.0.2.1", 40000, message(0x0002, ("fe80::1", 5000))),
    "forward_refused_multicast": slot("192.0.2.1", 40000, message(0x0002, ("ff02::1", 5000))),
    "forward_refused_port": slot("192.0.2.1", 40000, message(0x0002, ("198.51.100.1", 1023))),
    "forward_to_own_endpoint": slot("192.0.2.1", 40000, message(0x0002, ("192.0.2.1", 40000))),
    "query_reply_type": slot("192.0.2.1", 40000, message(0x0101)),
    "forward_reply_type": slot("192.0.2.1", 40000, message(0x0102)),
    "unknown_type": slot("192.0.2.1", 40000, message(0x0003)),
    "empty_datagram": slot("192.0.2.1", 40000, b""),
}

FILTER_TARGETS = [
    "0.0.0.0", "0.255.255.255", "1.0.0.0", "9.255.255.255", "10.0.0.0", "10.255.255.255",
    "11.0.0.0", "126.255.255.255", "127.0.0.1", "128.0.0.0", "169.253.255.255",
    "169.254.0.0", "169.254.255.255", "169.255.0.0", "172.15.255.255", "172.16.0.0",
    "172.31.255.255", "172.32.0.0", "192.167.255.255", "192.168.0.0", "192.168.255.255",
    "192.169.0.0", "223.255.255.255", "224.0.0.0", "239.255.255.255", "240.0.0.0",
    "255.255.255.254", "255.255.255.255", "::", "::1", "::2", "::10.0.0.1",
    "fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fc00::", "fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
    "fe7f:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "fe80::", "febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
    "fec0::", "ff00::", "2001:db8::1", "64:ff9b::a00:1",
]


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    for name, data in HANDLER_SEEDS.items():
        write(os.path.join(HERE, "corpus", "handle_message"), name, data)
    for text in FILTER_TARGETS:
        for port in (1023, 1024):
            name = text.replace(":", "_") + "_port_%d" % port
            write(os.path.join(HERE, "corpus", "forward_filter"), name, struct.pack(">H", port) + address(text))


if __name__ == "__main__":
    main()
