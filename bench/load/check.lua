-- POST with the API key and check every answer: status 200 and the body in LOAD_EXPECT
-- (default "hello\n"). Each wrk thread stops after LOAD_REQUESTS / threads answers when
-- LOAD_REQUESTS is set, so a run ends by count as well as by wrk's duration.
-- Prints "check: answers=N ok=N bad_status=N bad_body=N statuses=..." at the end.
wrk.method = "POST"
wrk.headers["X-API-Key"] = os.getenv("LOAD_API_KEY") or "load-key"
wrk.headers["Content-Length"] = "0"

local threads = {}
local thread_count = tonumber(os.getenv("LOAD_THREADS") or "1")
local total = tonumber(os.getenv("LOAD_REQUESTS") or "0")

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  expect = os.getenv("LOAD_EXPECT") or "hello\n"
  limit = 0
  if total > 0 then
    limit = math.ceil(total / thread_count)
  end
  answers, ok, bad_status, bad_body = 0, 0, 0, 0
  statuses = {}
end

function response(status, headers, body)
  answers = answers + 1
  statuses[status] = (statuses[status] or 0) + 1
  if status ~= 200 then
    bad_status = bad_status + 1
  elseif body ~= expect then
    bad_body = bad_body + 1
  else
    ok = ok + 1
  end
  if limit > 0 and answers >= limit then
    wrk.thread:stop()
    -- With a single thread the run is over: end wrk's timed wait now (SIGINT makes wrk
    -- print its summary), so its duration and rate cover the counted requests. The kill runs
    -- in the background and a little later because os.execute ignores SIGINT in wrk until
    -- its shell has returned.
    if thread_count == 1 and not stopped then
      stopped = true
      os.execute("(sleep 0.2; kill -INT $PPID) >/dev/null 2>&1 &")
    end
  end
end

function done(summary, latency, requests)
  local a, o, s, b = 0, 0, 0, 0
  local codes = {}
  for _, t in ipairs(threads) do
    a = a + t:get("answers")
    o = o + t:get("ok")
    s = s + t:get("bad_status")
    b = b + t:get("bad_body")
    for code, n in pairs(t:get("statuses")) do
      codes[code] = (codes[code] or 0) + n
    end
  end
  local parts = {}
  for code, n in pairs(codes) do
    table.insert(parts, code .. ":" .. n)
  end
  table.sort(parts)
  io.write(string.format("check: answers=%d ok=%d bad_status=%d bad_body=%d statuses=%s\n",
                         a, o, s, b, table.concat(parts, ",")))
end
