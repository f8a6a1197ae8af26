'use strict';
// Reads and writes tags of an EtherNet/IP controller on 127.0.0.1 with
// st-ethernet-ip, a client written by others, and prints what it saw:
//
//   node check.js PORT MODE OP...
//     MODE: connected or unconnected, routed to backplane slot 0 ("1,0"), or
//     connected-direct or unconnected-direct, without a route path
//     read:NAME          one Read Tag          -> "read NAME VALUE"
//     group:NAME,NAME    one packed group read -> "read NAME VALUE" for each
//     write:NAME=VALUE   Read Tag for the type, then Write Tag -> "wrote NAME VALUE"
//     array:NAME=COUNT   COUNT elements from NAME -> "array NAME COUNT SUM FIRST LAST"
//     fill:NAME=COUNT    writes element i of COUNT as 3*i (after a read for the type)
//                        -> "filled NAME COUNT"
//     props              the identity object  -> "controller NAME VERSION run|stopped"
//     list               the symbol listing, programs' too -> per tag
//                        "tag [Program:P.]NAME TYPE DIMS[ struct][ system]" (TYPE in hex)
//
// Ends with "done", or "error MESSAGE" and exit code 1.
const config = require('st-ethernet-ip/dist/config');
const { Controller, Tag, TagGroup } = require('st-ethernet-ip');

async function main() {
  const [port, mode, ...ops] = process.argv.slice(2);
  const [messaging, route] = (mode || '').split('-');
  if (!port || !['connected', 'unconnected'].includes(messaging) || ![undefined, 'direct'].includes(route)) {
    throw new Error('usage: node check.js PORT connected|unconnected[-direct] OP...');
  }
  config.EIP_PORT = Number(port);  // the client reads its port from here when it connects
  const plc = new Controller(messaging === 'connected');
  plc.timeout_sp = 5000;
  // Slot 0, or an empty route path; no controller property or tag list read-out.
  await plc.connect('127.0.0.1', route === 'direct' ? Buffer.alloc(0) : 0, false);
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
      } else if (verb === 'array') {
        const [name, count] = arg.split('=');
        const tag = new Tag(name, null, null, 0, 1, Number(count));
        await plc.readTag(tag);
        const values = tag.value;
        const sum = values.reduce((a, b) => a + b, 0);
        console.log(`array ${name} ${values.length} ${sum} ${values[0]} ${values[values.length - 1]}`);
      } else if (verb === 'fill') {
        const [name, count] = arg.split('=');
        const tag = new Tag(name, null, null, 0, 1, Number(count));
        await plc.readTag(tag);
        await plc.writeTag(tag, tag.value.map((_, i) => 3 * i));
        console.log(`filled ${name} ${count}`);
      } else if (op === 'props') {
        await plc.readControllerProps();
        const p = plc.properties;
        console.log(`controller ${p.name} ${p.version} ${p.run ? 'run' : 'stopped'}`);
      } else if (op === 'list') {
        await plc.getControllerTagList(plc.state.tagList);
        const tags = plc.state.tagList.tags;
        for (const t of tags) {
          const scope = t.program ? `Program:${t.program}.` : '';
          const flags = (t.type.structure ? ' struct' : '') + (t.type.reserved ? ' system' : '');
          console.log(`tag ${scope}${t.name} ${t.type.code.toString(16)} ${t.type.arrayDims}${flags}`);
        }
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
    console.log(`error ${e instanceof Error ? e.message : JSON.stringify(e)}`);
    process.exit(1);
  });
