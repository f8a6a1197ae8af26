'use strict';
// Reads and writes devices of a MELSEC controller on 127.0.0.1 with
// mcprotocol, an MC protocol client written by others, in 3E frames and
// binary code (batch read in word units, batch write in word and bit
// units), and prints what it saw as one line of JSON:
//
//   node check.js PORT
//     {"read": {NAME: VALUE...}, "readBad": BOOL, "written": [NAME...],
//      "readBack": {NAME: VALUE...}, "readBackBad": BOOL}
//   "readBack" holds the first items again and the written words.
//
// The client takes device numbers in decimal (X and Y too, with its octal
// switch off): X31 is X1F, Y32 is Y20. It has no W device. Two of its
// quirks shape the items: bits it reads in one block must lie within one
// word (a block over more asks for too few words), and its 3E bit writes
// carry the subcommand high byte first (0x0100), which a CPU refuses
// (0xC059): "relayOn" is written to see that refused and nothing change.
// Ends with exit code 0, or prints {"error": MESSAGE} and exits 1.
const MC = require('mcprotocol');

// What the controller holds before (the test prepares these values).
const reads = {
  words: 'D100,4',        // INT x4
  real: 'DFLOAT200',      // D200..D201 as REAL
  dint: 'DDINT210',       // D210..D211 as DINT
  wordBit: 'D300.3',      // bit 3 of D300
  relays: 'M10,5',        // M10..M14
  input: 'X31',           // X1F
  outputs: 'Y32,3',       // Y20..Y22
  timer: 'TN5',
  timerContact: 'TS5',
  counter: 'CN6',
  counterContact: 'CS6',
};

// What it writes, one batch write each, and whether to read it back.
const writes = {
  newWords: ['D400,3', [11, -22, 333], true],
  newReal: ['DFLOAT410', -0.75, true],
  timerValue: ['TN7', 4321, true],
  relayOn: ['M20', true, false],
};

function fail(message) {
  process.stdout.write(JSON.stringify({ error: String(message) }) + '\n');
  process.exit(1);
}

function main() {
  const port = Number(process.argv[2]);
  if (!port) fail('usage: node check.js PORT');
  const all = Object.assign({}, reads);
  for (const [name, [address]] of Object.entries(writes)) all[name] = address;

  // The library logs to the console; only the result line goes out.
  console.log = () => {};
  const conn = new MC();
  const timer = setTimeout(() => fail('timed out'), 20000);
  conn.initiateConnection({ port, host: '127.0.0.1', ascii: false, frame: '3E', octalInputOutput: false }, (err) => {
    if (err !== undefined) fail(err);
    conn.setTranslationCB((tag) => all[tag]);
    conn.addItems(Object.keys(reads));
    conn.readAllItems((readBad, readValues) => {
      const result = { read: readValues, readBad, written: [] };
      const names = Object.keys(writes);
      const writeNext = (i) => {
        if (i === names.length) {
          conn.addItems(names.filter((name) => writes[name][2]));
          conn.readAllItems((backBad, backValues) => {
            clearTimeout(timer);
            result.readBack = backValues;
            result.readBackBad = backBad;
            process.stdout.write(JSON.stringify(result) + '\n');
            conn.dropConnection();
            process.exit(0);
          });
          return;
        }
        // Its 3E write replies are judged by its 1E reply codes, so every
        // write reports a bad quality: what arrived is read back instead.
        conn.writeItems(names[i], writes[names[i]][1], () => {
          result.written.push(names[i]);
          writeNext(i + 1);
        });
      };
      writeNext(0);
    });
  });
}

main();
