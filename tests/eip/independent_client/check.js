'use strict';
// Reads and writes tags of an EtherNet/IP controller on 127.0.0.1 with
// st-ethernet-ip, a client written by others, and prints what it saw:
//
//   node check.js PORT connected|unconnected OP...
//     read:NAME          one Read Tag          -> "read NAME VALUE"
//     group:NAME,NAME    one packed group read -> "read NAME VALUE" for each
//     write:NAME=VALUE   Read Tag for the type, then Write Tag -> "wrote NAME VALUE"
//
// Ends with "done", or "error MESSAGE" and exit code 1.
const config = require('st-ethernet-ip/dist/config');
const { Controller, Tag, TagGroup } = require('st-ethernet-ip');

async function main() {
  const [port, mode, ...ops] = process.argv.slice(2);
  if (!port || (mode !== 'connected' && mode !== 'unconnected')) {
    throw new Error('usage: node check.js PORT connected|unconnected OP...');
  }
  config.EIP_PORT = Number(port);  // the client reads its port from here when it connects
  const plc = new Controller(mode === 'connected');
  plc.timeout_sp = 5000;
  await plc.connect('127.0.0.1', 0, false);  // slot 0; no controller property or tag list read-out
  try {
    for (const op of ops) {
      const colon = op.indexOf(':');
      const verb = op.slice(0, colon);
      const arg = op.slice(colon + 1);
      if (verb === 'read') {
        const tag = new Tag(arg);
        await plc.readTag(tag);
        console.log(`read ${arg} ${tag.value}`);
      } else if (verb === 'group') {
        const group = new TagGroup();
        const tags = arg.split(',').map((name) => new Tag(name));
        tags.forEach((tag) => group.add(tag));
        await plc.readTagGroup(group);
        tags.forEach((tag) => console.log(`read ${tag.name} ${tag.value}`));
      } else if (verb === 'write') {
        const [name, text] = arg.split('=');
        const tag = new Tag(name);
        await plc.readTag(tag);
        await plc.writeTag(tag, Number(text));
        console.log(`wrote ${name} ${text}`);
      } else {
        throw new Error(`unknown operation ${op}`);
      }
    }
  } finally {
    await plc.disconnect();
  }
  console.log('done');
}

main().then(
  () => process.exit(0),
  (e) => {
    console.log(`error ${e && e.message ? e.message : e}`);
    process.exit(1);
  });
