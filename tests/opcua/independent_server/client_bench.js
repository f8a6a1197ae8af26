// Times node-opcua's own client against an OPC UA server: one Read and one
// Write of COUNT Int32 nodes per cycle, the requests the driver sends (value
// attribute, no timestamps; every node written with a new value each
// cycle), so that the driver's figures can be set beside those of the
// server's own client on the same machine in the same run.
//
//   node client_bench.js URL [COUNT [CYCLES]]
//
// The nodes are ns=1;i=10000 ... ns=1;i=<10000+COUNT-1>, as server.js
// --int32 COUNT makes them (COUNT defaults to 1000, CYCLES to 200). Each
// request goes out as one service call (not cut by the client), after a
// warm-up of CYCLES / 10 cycles. Prints one line per service:
//   read COUNT nodes: median M ms, p10 A ms, p90 B ms, mean C ms (CYCLES cycles)
// and exits with 1 when a call fails or a value read back is not the one
// written.
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const {
  OPCUAClient,
  OPCUACertificateManager,
  MessageSecurityMode,
  SecurityPolicy,
  AttributeIds,
  DataType,
  ReadRequest,
  WriteRequest,
  TimestampsToReturn,
  StatusCodes,
} = require("node-opcua");

function usage() {
  process.stderr.write("usage: node client_bench.js URL [COUNT [CYCLES]]\n");
  process.exit(2);
}

function positive(text, fallback) {
  if (text === undefined) return fallback;
  const n = Number(text);
  if (!Number.isInteger(n) || n <= 0) usage();
  return n;
}

const url = process.argv[2];
if (!url) usage();
const count = positive(process.argv[3], 1000);
const cycles = positive(process.argv[4], 200);
const warmUp = Math.max(1, Math.floor(cycles / 10));
const firstId = 10000;

function nodeId(i) {
  return `ns=1;i=${firstId + i}`;
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.floor((sorted.length * p) / 100))];
}

function report(name, times) {
  const sorted = [...times].sort((a, b) => a - b);
  const ms = (t) => t.toFixed(3);
  process.stdout.write(
    `${name} ${count} nodes: median ${ms(percentile(sorted, 50))} ms, p10 ${ms(percentile(sorted, 10))} ms, ` +
      `p90 ${ms(percentile(sorted, 90))} ms, mean ${ms(times.reduce((a, b) => a + b, 0) / times.length)} ms ` +
      `(${times.length} cycles)\n`,
  );
}

// Runs `call` warm-up + cycles times and returns the milliseconds of the
// timed ones.
async function time(call) {
  const times = [];
  for (let c = 0; c < warmUp + cycles; ++c) {
    const start = process.hrtime.bigint();
    await call(c);
    const elapsed = Number(process.hrtime.bigint() - start) / 1e6;
    if (c >= warmUp) times.push(elapsed);
  }
  return times;
}

function transact(session, request) {
  return new Promise((resolve, reject) => {
    session.performMessageTransaction(request, (error, response) => {
      if (error) reject(error);
      else if (response.responseHeader.serviceResult.isNot(StatusCodes.Good))
        reject(new Error(response.responseHeader.serviceResult.toString()));
      else if ((response.results || []).length !== count) reject(new Error("result count differs from the request's"));
      else resolve(response);
    });
  });
}

// The client's certificate (made although no security is used) lives in a
// folder of this run's own, removed at exit.
const pki = fs.mkdtempSync(path.join(os.tmpdir(), "kvt-opcua-client-bench-"));
process.on("exit", () => fs.rmSync(pki, { recursive: true, force: true }));

async function main() {
  const client = OPCUAClient.create({
    applicationName: "kvt-opcua-client-bench",
    clientCertificateManager: new OPCUACertificateManager({ rootFolder: pki }),
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    endpointMustExist: false,
    connectionStrategy: { maxRetry: 0 },
  });
  await client.connect(url);
  const session = await client.createSession();

  const nodesToRead = [];
  for (let i = 0; i < count; ++i) nodesToRead.push({ nodeId: nodeId(i), attributeId: AttributeIds.Value });
  const read = () =>
    transact(session, new ReadRequest({ maxAge: 0, timestampsToReturn: TimestampsToReturn.Neither, nodesToRead }));

  // Every cycle writes every node a value it did not have.
  let lastWritten = 0;
  const write = (c) => {
    lastWritten = c + 1;
    const nodesToWrite = [];
    for (let i = 0; i < count; ++i)
      nodesToWrite.push({
        nodeId: nodeId(i),
        attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.Int32, value: lastWritten + i } },
      });
    return transact(session, new WriteRequest({ nodesToWrite }));
  };

  let failed = false;
  const readTimes = await time(read);
  const writeTimes = await time(async (c) => {
    const response = await write(c);
    if (response.results.some((s) => s.isNot(StatusCodes.Good))) failed = true;
  });
  const check = await read();
  check.results.forEach((v, i) => {
    if (v.value.value !== lastWritten + i) failed = true;
  });
  report("read", readTimes);
  report("write", writeTimes);

  await session.close();
  await client.disconnect();
  if (failed) {
    process.stderr.write("a node was not written, or read back another value\n");
    process.exit(1);
  }
}

main().catch((error) => {
  process.stderr.write(`client bench failed: ${error.stack || error}\n`);
  process.exit(1);
});
