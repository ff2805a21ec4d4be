-- wrk script for bench/http/run: prints one machine-readable line when the
-- run is done (no per-request hooks, so wrk's speed is unchanged).
done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format("RESULT requests=%d duration_us=%d p99_us=%d " ..
    "connect=%d read=%d write=%d status=%d timeout=%d\n",
    summary.requests, summary.duration, latency:percentile(99),
    e.connect, e.read, e.write, e.status, e.timeout))
end
