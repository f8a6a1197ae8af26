'use strict';
// Reads and writes symbols of an ADS device on 127.0.0.1 with ads-client, a
// client written by others, connecting straight to the device (no local
// router: it sets its own AMS Net ID and port), and prints what it saw:
//
//   node check.js PORT OP...
//     info               -> "device NAME MAJOR.MINOR.BUILD" and "state STATE"
//     read:NAME          symbol info, data type, then Read  -> "read NAME VALUE"
//     write:NAME=VALUE   symbol info, data type, then Write -> "wrote NAME VALUE"
//     handle:NAME        handle by name, read by handle, release -> "handle NAME HEX"
//     multi:NAME,NAME    one sum read of the symbols' places -> "multi NAME HEX" for each
//     missing:NAME       a read that must fail -> "missing NAME ADS-ERROR-CODE"
//     list               the symbol upload -> "symbol NAME TYPE GROUP OFFSET SIZE" (GROUP in hex)
//
// Ends with "done", or "error MESSAGE" and exit code 1.
const { Client } = require('ads-client');

function adsCode(e) {
  return e && e.adsError && e.adsError.errorCode !== undefined ? e.adsError.errorCode : 'none';
}

async function main() {
  const [port, ...ops] = process.argv.slice(2);
  if (!port) throw new Error('usage: node check.js PORT OP...');
  const client = new Client({
    targetAmsNetId: '127.0.0.1.1.1',
    targetAdsPort: 851,
    localAmsNetId: '127.0.0.1.1.20',
    localAdsPort: 32750,
    routerAddress: '127.0.0.1',
    routerTcpPort: Number(port),
    autoReconnect: false,
    hideConsoleWarnings: true,
    timeoutDelay: 5000,
  });
  await client.connect();
  try {
    for (const op of ops) {
      const colon = op.indexOf(':');
      const verb = colon < 0 ? op : op.slice(0, colon);
      const arg = colon < 0 ? '' : op.slice(colon + 1);
      if (verb === 'info') {
        const info = await client.readDeviceInfo();
        console.log(`device ${info.deviceName} ${info.majorVersion}.${info.minorVersion}.${info.versionBuild}`);
        const state = await client.readPlcRuntimeState();
        console.log(`state ${state.adsStateStr}`);
      } else if (verb === 'read') {
        const res = await client.readValue(arg);
        console.log(`read ${arg} ${res.value}`);
      } else if (verb === 'write') {
        const [name, text] = arg.split('=');
        const value = text === 'true' ? true : text === 'false' ? false : Number(text);
        await client.writeValue(name, value);
        console.log(`wrote ${name} ${text}`);
      } else if (verb === 'handle') {
        const handle = await client.createVariableHandle(arg);
        const data = await client.readRawByHandle(handle);
        await client.deleteVariableHandle(handle);
        console.log(`handle ${arg} ${data.toString('hex')}`);
      } else if (verb === 'multi') {
        const names = arg.split(',');
        const symbols = [];
        for (const name of names) symbols.push(await client.getSymbol(name));
        const results = await client.readRawMulti(
          symbols.map((s) => ({ indexGroup: s.indexGroup, indexOffset: s.indexOffset, size: s.size })));
        results.forEach((r, i) => console.log(`multi ${names[i]} ${r.success ? r.value.toString('hex') : r.errorCode}`));
      } else if (verb === 'missing') {
        try {
          await client.readValue(arg);
          console.log(`missing ${arg} read`);
        } catch (e) {
          console.log(`missing ${arg} ${adsCode(e)}`);
        }
      } else if (verb === 'list') {
        const symbols = await client.getSymbols();
        for (const s of Object.values(symbols)) {
          console.log(`symbol ${s.name} ${s.type} ${s.indexGroup.toString(16)} ${s.indexOffset} ${s.size}`);
        }
      } else {
        throw new Error(`unknown operation ${op}`);
      }
    }
  } finally {
    await client.disconnect();
  }
  console.log('done');
}

main().then(
  () => process.exit(0),
  (e) => {
    console.log(`error ${e instanceof Error ? e.message : JSON.stringify(e)} ${adsCode(e)}`);
    process.exit(1);
  });
