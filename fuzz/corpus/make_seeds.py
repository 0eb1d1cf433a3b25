#!/usr/bin/env python3
"""Writes the seeds of fuzz_records and fuzz_proxy from the hand-written requests and answers
in fuzz_headers/: for fuzz_records as the operation stream it reads (see the comment above
OpReader in fuzz_records.cpp), for fuzz_proxy as exchanges in its layout (see the top of
fuzz_proxy.cpp). Run from anywhere: python3 fuzz/corpus/make_seeds.py"""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
http = os.path.join(here, "fuzz_headers")
out = os.path.join(here, "fuzz_records")
proxy_out = os.path.join(here, "fuzz_proxy")
os.makedirs(out, exist_ok=True)
os.makedirs(proxy_out, exist_ok=True)

TUNNEL, RECEIVED, BODY = 1, 2, 4


def read(name):
    with open(os.path.join(http, name), "rb") as f:
        return f.read()


def chunk(data, received=False, body=False, tunnel=False):
    flags = (TUNNEL if tunnel else 0) | (RECEIVED if received else 0) | (BODY if body else 0)
    return bytes([0, flags]) + struct.pack("<H", len(data)) + data


def pieces(data, *cuts):
    """The response as the server's reads might cut it: first piece a header part, the rest body."""
    ops, start = b"", 0
    for i, end in enumerate(list(cuts) + [len(data)]):
        ops += chunk(data[start:end], received=True, body=i > 0)
        start = end
    return ops


switches = lambda bits: bytes([2, bits])
tick = lambda add, step: bytes([3]) + struct.pack("<IH", add, step)
clock = lambda delta: bytes([4]) + struct.pack("<i", delta)
clear = lambda which: bytes([5, which])
debug = lambda text, big=False: bytes([6, 1 if big else 0]) + struct.pack("<H", len(text)) + text
close = lambda slot: bytes([7, slot])
PURGE, WRITE, WRITE_FAILS = bytes([8]), bytes([9]), bytes([10])
ids_near_max = lambda back: bytes([11, back])
big = lambda pattern, received=False: bytes([1, RECEIVED if received else 0, len(pattern)]) + b"\0" + pattern

html = read("resp_200_content_length")
seeds = {
    "get_then_html": chunk(read("req_get_many_headers")) + tick(120, 7) + pieces(html, 40, 200) + WRITE,
    "post_then_chunked": chunk(read("req_post_body")) + pieces(read("resp_chunked"), 70) + WRITE + WRITE,
    "conditional_304": chunk(read("req_absolute_port")) + pieces(read("resp_304")) + clear(1) + WRITE,
    "gif_stays_binary": chunk(read("req_lowercase_method")) + pieces(read("resp_gif"), 60, 70) + WRITE,
    "header_split_over_reads": chunk(read("req_bare_lf")) + pieces(html, 9, 30) + WRITE,
    "nul_in_text_then_more": chunk(read("req_https_absolute")) + pieces(read("resp_nul_in_text"), 44) +
                             chunk(b"trailing text\r\n", received=True, body=True) + WRITE,
    "no_header_answer": chunk(read("req_origin_form")) + pieces(read("resp_no_header")) + WRITE,
    "long_status_line": chunk(read("req_get_many_headers")) + pieces(read("resp_long_status_line")) + WRITE,
    "lowercase_type": chunk(read("req_two_tokens")) + pieces(read("resp_lowercase_content_type")) + WRITE,
    "octet_stream": chunk(read("req_get_many_headers")) + pieces(read("resp_octet_stream"), 60) + WRITE,
    "tunnel": chunk(read("req_connect"), tunnel=True) +
              chunk(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(range(32)), tunnel=True) +
              chunk(b"\x16\x03\x03\x00\x7a\x02\x00\x00\x76\x03\x03" + bytes(40), received=True, tunnel=True) +
              WRITE,
    "keep_alive_two_requests": chunk(read("req_pipelined")[:60]) + pieces(html, 80) +
                               tick(0x1000, 3) + chunk(read("req_pipelined")[60:]) + pieces(read("resp_304")) + WRITE,
    "viewers_off_then_on": switches(0) + chunk(read("req_post_body")) + pieces(html) + switches(7) +
                           debug(b"CProxy::OnReceive - 512 bytes\r\n") + chunk(read("req_connect")) + WRITE,
    "past_feed_limit": switches(7) + big(b"<p>text</p>\r\n", received=True) + big(b"GET / HTTP/1.0\r\n") +
                       debug(b"CHost::DoRead\r\n", big=True) + debug(b"CHost::OnClose\r\n"),
    "close_purge_reopen": chunk(read("req_get_many_headers")) + pieces(html, 100) + close(0) + PURGE +
                          chunk(read("req_absolute_port")) + pieces(read("resp_chunked")) + WRITE,
    "save_fails_then_succeeds": chunk(read("req_post_body")) + pieces(html) + WRITE_FAILS + WRITE + WRITE,
    "tick_wraps": tick(0x00000F00, 60000) + chunk(read("req_get_many_headers")) + pieces(html, 50, 100) +
                  clock(-86400 * 400) + WRITE,
    "ids_near_max": ids_near_max(0) + close(0) + close(1) + close(0) + chunk(read("req_origin_form")) + WRITE,
    "odd_part_marker": bytes([0, RECEIVED | 8]) + struct.pack("<i", -7) + struct.pack("<H", 20) +
                       b"HTTP/1.0 200 OK\r\n\r\nab",
}
for name, data in seeds.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print(f"{len(seeds)} seeds in {out}")

# fuzz_proxy: the request line comes from the harness (it knows the loopback server's port);
# the seed holds the rest of the request header, the body, and the server's answer.
GET, POST, CONNECT, UNRESOLVABLE, ORIGIN_FORM, LOWER, BAD_PORT = 1, 2, 3, 4, 5, 6, 7
RAW = 0
UPSTREAM = 8
HALF, OPEN, SERVER_FIRST, BROWSER_CLOSES, BROWSER_RESETS, SERVER_RESETS = range(6)


def rest_of(name):
    """A request file without its own request line."""
    data = read(name)
    return data[data.index(b"\n") + 1:]


def exchange(line, request, answer, ending=HALF, upstream=False, browser_write=0,
             server_write=0, early=0):
    mode = line | (UPSTREAM if upstream else 0) | (ending << 4)
    return (bytes([mode, browser_write, server_write, early]) + struct.pack("<H", len(request))
            + request + answer)


tls_hello = b"\x16\x03\x01\x00\x2a\x01\x00\x00\x26\x03\x03" + bytes(range(32)) + b"\x00\x00"
tls_answer = b"\x16\x03\x03\x00\x31\x02\x00\x00\x2d\x03\x03" + bytes(range(40, 80))
proxy_seeds = {
    "get_many_headers": exchange(GET, rest_of("req_get_many_headers"), read("resp_200_content_length")),
    "post_with_body": exchange(POST, rest_of("req_post_body"), read("resp_chunked"), browser_write=16),
    "connect_tunnel": exchange(CONNECT, rest_of("req_connect") + tls_hello, tls_answer, ending=OPEN),
    "unresolvable_host": exchange(UNRESOLVABLE, b"Host: x.invalid\r\n\r\n", b""),
    "origin_form": exchange(ORIGIN_FORM, b"Host: example.test\r\n\r\n", b""),
    "lower_case_method": exchange(LOWER, b"host: 127.0.0.1\r\n\r\n", read("resp_304"), server_write=7),
    "connect_bad_port": exchange(BAD_PORT, b"\r\n", b""),
    "bare_lf_header": exchange(RAW, read("req_bare_lf"), read("resp_no_header")),
    "gif_answer_in_pieces": exchange(GET, b"Accept: image/*\r\n\r\n", read("resp_gif"),
                                     browser_write=5, server_write=3),
    "answer_without_header": exchange(GET, b"\r\n", read("resp_no_header"), ending=OPEN),
    "lf_only_answer": exchange(GET, b"\r\n", b"HTTP/1.0 200 OK\nContent-Type: text/plain\n\nhello\n"),
    "server_answers_first": exchange(POST, rest_of("req_post_body"), read("resp_200_content_length"),
                                     ending=SERVER_FIRST),
    "browser_closes_early": exchange(POST, rest_of("req_post_body"), read("resp_200_content_length"),
                                     ending=BROWSER_CLOSES, browser_write=20, early=2),
    "browser_resets_early": exchange(GET, rest_of("req_get_many_headers"), read("resp_gif"),
                                     ending=BROWSER_RESETS, browser_write=50, early=3),
    "server_resets": exchange(GET, b"\r\n", read("resp_200_content_length"), ending=SERVER_RESETS),
    "upstream_get": exchange(GET, rest_of("req_get_many_headers"), read("resp_200_content_length"),
                             upstream=True),
    "upstream_connect": exchange(CONNECT, rest_of("req_connect"), b"HTTP/1.1 200 OK\r\n\r\n" + tls_answer,
                                 upstream=True, ending=OPEN),
    "raw_absolute_request": exchange(RAW, read("req_absolute_port"), read("resp_octet_stream")),
    "header_never_ends": exchange(GET, b"Host: 127.0.0.1\r\nX-Long: " + b"a" * 300, b""),
    "pipelined_requests": exchange(GET, b"\r\n" + read("req_pipelined"), read("resp_304") * 2),
    "chunked_request_interim_answer": exchange(RAW, read("req_chunked_trailer"),
                                               read("resp_continue_then_chunked"), server_write=9),
    "length_and_coding": exchange(RAW, read("req_length_and_coding"), read("resp_304")),
    "head_answer_with_length": exchange(RAW, b"HEAD http://127.0.0.1/ HTTP/1.1\r\n\r\n",
                                        read("resp_200_content_length"), ending=OPEN),
    "chunk_size_overflow": exchange(POST, b"Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n10000000000000000\r\n",
                                    read("resp_200_content_length"), browser_write=21),
    "chunk_line_cut": exchange(POST, b"Transfer-Encoding: chunked\r\n\r\n5;e=1\r\nhello\r\n0\r\nT: 1\r\n\r\n",
                               read("resp_200_content_length"), browser_write=3),
    "bare_cr_field": exchange(POST, b"X: a\rContent-Length: 3\r\n\r\nabc", read("resp_304")),
    "obs_fold": exchange(GET, b"X: a\r\n b\r\n\r\n", read("resp_304")),
    "http10_chunked": exchange(RAW, read("req_http10_chunked"), read("resp_304")),
    "authority_query_at": exchange(RAW, read("req_authority_query_at"), read("resp_304")),
    "authority_backslash_at": exchange(RAW, read("req_authority_backslash_at"), read("resp_304")),
    "answer_bare_cr_length": exchange(GET, b"\r\n", read("resp_bare_cr_length"), ending=OPEN),
    "answer_http10_chunked": exchange(GET, b"\r\n", read("resp_http10_chunked")),
}
for name, data in proxy_seeds.items():
    with open(os.path.join(proxy_out, name), "wb") as f:
        f.write(data)
print(f"{len(proxy_seeds)} seeds in {proxy_out}")
