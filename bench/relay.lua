-- wrk script for the relay benchmark: sends absolute-form request lines, as a browser does to
-- its proxy, to whatever address wrk was given (a proxy, or the origin itself for "direct").
--   BENCH_URL   absolute URL of the file, e.g. http://127.0.0.1:8080/1k.bin
--   BENCH_CLOSE "1": ask for a new connection per request ("Connection: close")
-- Prints one line "BENCH key=value ..." at the end for relay.sh to read.

local url = os.getenv("BENCH_URL") or error("BENCH_URL is not set")
local authority = url:match("^http://([^/]+)")
if not authority then
   error("BENCH_URL must be an absolute http:// URL: " .. url)
end

wrk.method = "GET"
wrk.path = url
wrk.headers["Host"] = authority
if os.getenv("BENCH_CLOSE") == "1" then
   wrk.headers["Connection"] = "close"
end

function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "BENCH requests=%d duration_us=%d connect_errors=%d read_errors=%d write_errors=%d" ..
      " status_errors=%d timeouts=%d p50_us=%d p99_us=%d\n",
      summary.requests, summary.duration, e.connect, e.read, e.write, e.status, e.timeout,
      latency:percentile(50), latency:percentile(99)))
end
