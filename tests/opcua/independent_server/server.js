// An OPC UA server written by others (node-opcua) for the driver's tests, so
// that the driver is not only checked against the library it is built on.
//
//   node server.js [--int32 COUNT] PORT [MAX_NODES_PER_READ MAX_NODES_PER_WRITE]
//
// Listens on 127.0.0.1:PORT, without security, anonymous sessions allowed,
// and registers nowhere. The operation limits default to node-opcua's own.
//
// Address space, all in namespace 1:
//   Objects/Types: one readable and writable scalar per value type the
//     driver carries, ns=1;s=Types.<DataType> (Boolean, Byte, UInt16,
//     UInt32, SByte, Int16, Int32, Float, Double), with set starting values.
//   Objects/Plant: a small tree for browsing: Line1 (Speed Double, Running
//     Boolean read-only, Counts Int32 array, Motor object with Current
//     Float), Line2 (Target UInt16 write-only).
//   Objects/Bench (with --int32 COUNT only): COUNT readable and writable
//     Int32 scalars ns=1;i=10000 ... ns=1;i=<10000+COUNT-1>, each starting
//     at its own number (0, 1, ...), for timing cycles of many nodes.
//
// Standard output: "ready PORT" once serving, then "changed NODE TYPE VALUE"
// for every value a client writes to a Types or Plant variable (writes to
// the Bench variables are not reported: a thousand lines per cycle would
// time the printing).
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const {
  OPCUAServer,
  OPCUACertificateManager,
  DataType,
  MessageSecurityMode,
  RegisterServerMethod,
  SecurityPolicy,
  Variant,
  VariantArrayType,
} = require("node-opcua");

function usage() {
  process.stderr.write("usage: node server.js [--int32 COUNT] PORT [MAX_NODES_PER_READ MAX_NODES_PER_WRITE]\n");
  process.exit(2);
}

function count(text) {
  const n = Number(text);
  if (!Number.isInteger(n) || n < 0) usage();
  return n;
}

const args = process.argv.slice(2);
let benchNodes = 0;
if (args[0] === "--int32") {
  if (args.length < 2) usage();
  benchNodes = count(args[1]);
  args.splice(0, 2);
}
const port = count(args[0]);
if (port === 0 || port > 65535) usage();
const limits = args.length > 1 ? { maxNodesPerRead: count(args[1]), maxNodesPerWrite: count(args[2]) } : {};

// The server's certificate and the store of client certificates live in a
// folder of this run's own, removed at exit.
const pki = fs.mkdtempSync(path.join(os.tmpdir(), "kvt-opcua-independent-"));
function cleanUp() {
  fs.rmSync(pki, { recursive: true, force: true });
}

const types = [
  ["Boolean", DataType.Boolean, true],
  ["Byte", DataType.Byte, 0xab],
  ["UInt16", DataType.UInt16, 0xbeef],
  ["UInt32", DataType.UInt32, 0xdeadbeef],
  ["SByte", DataType.SByte, -2],
  ["Int16", DataType.Int16, -300],
  ["Int32", DataType.Int32, -70000],
  ["Float", DataType.Float, 3.5],
  ["Double", DataType.Double, -1234.25],
];

// The first numeric id of the Bench variables, far above the ids node-opcua
// hands out by itself in this namespace.
const benchFirstId = 10000;

function reportWrites(variable, nodeId) {
  variable.on("value_changed", (dataValue) => {
    const v = dataValue.value;
    process.stdout.write(`changed ${nodeId} ${DataType[v.dataType]} ${v.value}\n`);
  });
}

function addVariable(namespace, parent, name, nodeId, dataType, value, access, arrayType) {
  const variable = namespace.addVariable({
    componentOf: parent,
    browseName: name,
    nodeId,
    dataType,
    valueRank: arrayType === VariantArrayType.Array ? 1 : -1,
    accessLevel: access,
    userAccessLevel: access,
    value: new Variant({ dataType, arrayType: arrayType ?? VariantArrayType.Scalar, value }),
  });
  reportWrites(variable, nodeId);
  return variable;
}

function buildAddressSpace(server) {
  const addressSpace = server.engine.addressSpace;
  const namespace = addressSpace.getOwnNamespace();
  const objects = addressSpace.rootFolder.objects;
  const readWrite = "CurrentRead | CurrentWrite";

  const typesFolder = namespace.addFolder(objects, { browseName: "Types", nodeId: "ns=1;s=Types" });
  for (const [name, dataType, value] of types)
    addVariable(namespace, typesFolder, name, `ns=1;s=Types.${name}`, dataType, value, readWrite);

  const plant = namespace.addFolder(objects, { browseName: "Plant", nodeId: "ns=1;s=Plant" });
  const line1 = namespace.addFolder(plant, { browseName: "Line1", nodeId: "ns=1;s=Plant.Line1" });
  addVariable(namespace, line1, "Speed", "ns=1;s=Plant.Line1.Speed", DataType.Double, 12.5, readWrite);
  addVariable(namespace, line1, "Running", "ns=1;s=Plant.Line1.Running", DataType.Boolean, true, "CurrentRead");
  addVariable(namespace, line1, "Counts", "ns=1;s=Plant.Line1.Counts", DataType.Int32, new Int32Array([1, 2, 3]),
              readWrite, VariantArrayType.Array);
  const motor = namespace.addObject({ organizedBy: line1, browseName: "Motor", nodeId: "ns=1;s=Plant.Line1.Motor" });
  addVariable(namespace, motor, "Current", "ns=1;s=Plant.Line1.Motor.Current", DataType.Float, 1.25, readWrite);
  const line2 = namespace.addFolder(plant, { browseName: "Line2", nodeId: "ns=1;s=Plant.Line2" });
  addVariable(namespace, line2, "Target", "ns=1;s=Plant.Line2.Target", DataType.UInt16, 0, "CurrentWrite");

  if (benchNodes > 0) {
    const bench = namespace.addFolder(objects, { browseName: "Bench", nodeId: "ns=1;s=Bench" });
    for (let i = 0; i < benchNodes; ++i) {
      namespace.addVariable({
        componentOf: bench,
        browseName: `Int32_${i}`,
        nodeId: `ns=1;i=${benchFirstId + i}`,
        dataType: DataType.Int32,
        valueRank: -1,
        accessLevel: readWrite,
        userAccessLevel: readWrite,
        value: new Variant({ dataType: DataType.Int32, value: i }),
      });
    }
  }
}

async function main() {
  const certificates = new OPCUACertificateManager({
    rootFolder: path.join(pki, "server"),
    automaticallyAcceptUnknownCertificate: true,
  });
  const users = new OPCUACertificateManager({ rootFolder: path.join(pki, "users") });
  const server = new OPCUAServer({
    host: "127.0.0.1",
    hostname: "127.0.0.1",
    port,
    securityPolicies: [SecurityPolicy.None],
    securityModes: [MessageSecurityMode.None],
    allowAnonymous: true,
    registerServerMethod: RegisterServerMethod.HIDDEN,
    serverCertificateManager: certificates,
    userCertificateManager: users,
    serverCapabilities: { operationLimits: limits },
  });
  await server.initialize();
  buildAddressSpace(server);
  await server.start();
  process.stdout.write(`ready ${port}\n`);

  const stop = async () => {
    await server.shutdown(0);
    cleanUp();
    process.exit(0);
  };
  process.on("SIGTERM", stop);
  process.on("SIGINT", stop);
}

main().catch((error) => {
  process.stderr.write(`server failed: ${error.stack || error}\n`);
  cleanUp();
  process.exit(1);
});
