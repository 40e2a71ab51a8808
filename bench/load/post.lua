-- POST with the API key, nothing else: the lean script for throughput and latency figures.
-- The key comes from the environment so one script serves both servers.
wrk.method = "POST"
wrk.headers["X-API-Key"] = os.getenv("LOAD_API_KEY") or "load-key"
wrk.headers["Content-Length"] = "0"
