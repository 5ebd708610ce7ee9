// Node's built-in fetch (undici, keep-alive by default) sending GET /me back to back on one
// connection, for the request-pipeline figure. Usage: node node_fetch.mjs BASE_URL COUNT
// with the token in TARN_BENCH_TOKEN; prints one line in the form http_client uses.
const [base, countText] = process.argv.slice(2);
const count = Number(countText);
const url = new URL('me', base.endsWith('/') ? base : base + '/').toString();
const headers = { Authorization: `Bearer ${process.env.TARN_BENCH_TOKEN}`, Accept: 'application/json' };

async function once() {
  const response = await fetch(url, { headers });
  if (response.status !== 200) throw new Error(`status ${response.status}`);
  return response.json();
}

// Warm-up: opens the connection and lets the JIT compile the loop outside the timed part.
for (let i = 0; i < 300; ++i) await once();
const cpu0 = process.cpuUsage();
const t0 = process.hrtime.bigint();
for (let i = 0; i < count; ++i) await once();
const wall = Number(process.hrtime.bigint() - t0) / 1e9;
const cpu = process.cpuUsage(cpu0);
const cpuUs = (cpu.user + cpu.system) / count;
console.log(`client=node requests=${count} wall_s=${wall.toFixed(4)} rps=${(count / wall).toFixed(1)} cpu_us_per_req=${cpuUs.toFixed(2)}`);
