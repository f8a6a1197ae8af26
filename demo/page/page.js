// The demo page: registers with the program, connects a Modbus controller,
// and steps the signal exchange, showing what crosses in both directions.
// With a "report" file in config.json it also writes what it observed there
// (the program's tests read it).
"use strict";

(async () => {
  const config = await fetch("config.json", { cache: "no-store" }).then((r) => (r.ok ? r.json() : {})).catch(() => ({}));
  const report = new Map();
  const status = document.getElementById("status");
  const show = (table, key, value, cls) => {
    let row = table.querySelector(`tr[data-key="${key}"]`);
    if (!row) {
      row = table.insertRow();
      row.dataset.key = key;
      row.insertCell().textContent = key;
      row.insertCell();
    }
    row.cells[1].textContent = String(value);
    row.cells[1].className = cls || "";
  };
  const note = (key, value) => {
    report.set(key, String(value));
    show(status, key, value);
  };
  let flushPending = false;
  const flush = () => {
    if (!config.report || !window.connect || flushPending) return;
    flushPending = true;
    setTimeout(() => {
      flushPending = false;
      const text = [...report].map(([k, v]) => `${k} ${v}`).join("\n") + "\n";
      window.connect.fileSystem.WriteFile(config.report, new TextEncoder().encode(text));
    }, 50);
  };
  const record = (key, value) => { note(key, value); flush(); };
  // The sub-frame reports as soon as its own `connect` exists, which may be
  // before this frame's.
  window.addEventListener("message", (e) => {
    if (e.data && e.data.frame) for (const [k, v] of Object.entries(e.data.frame)) record(`frame.${k}`, v);
  });

  const query = Kestrel.startQuery();
  note("start.search", window.location.search);
  note("start.port", query.port);
  note("start.version", query.version);
  note("userAgent", navigator.userAgent);

  const connect = await Kestrel.waitForConnect();
  record("connect.command", connect.commandBuffer.byteLength);
  record("connect.signal", connect.signalBuffer.byteLength);
  record("connect.ros", connect.rosBuffer.byteLength);

  // Timers keep running while the window is hidden: a tick counter in the
  // ROS buffer beyond its header, which the tests watch from outside.
  const ros = new Uint32Array(connect.rosBuffer, 0, 64);
  setInterval(() => { ros[32] = ros[32] + 1; }, 20);


  if (config.unsaved) {
    // A model with unsaved changes: leaving asks first.
    window.addEventListener("beforeunload", (e) => {
      e.preventDefault();
      e.returnValue = "unsaved";
    });
    record("unsaved.armed", 1);
  }
  if (config.checks) await runChecks(connect, config, record);
  if (config.pickers) await runPickers(connect, config, record);

  const server = new Kestrel.CommandServer(query.port, (bytes) => {
    if (bytes.length === 1 && bytes[0] === Kestrel.COMMAND.ready) {
      const m = Kestrel.readCommandBuffer(connect.commandBuffer);
      record("model.code", m.code);
      record("model.text", new TextDecoder().decode(m.bytes));
    } else {
      record("model.direct", new TextDecoder().decode(bytes.subarray(12)));
    }
  });
  await server.opened;
  record("ws.registered", 1);

  if (config.modbus) await runModbus(connect, server, config.modbus, record, show);
})();

async function runChecks(connect, config, record) {
  const fs = connect.fileSystem;
  const dir = config.scratch;
  const original = connect.commandBuffer;
  try {
    connect.commandBuffer = null;  // read-only: no effect (a TypeError in strict code)
  } catch (e) {
    record("check.readonly.threw", e instanceof TypeError ? 1 : 0);
  }
  record("check.readonly", connect.commandBuffer === original && connect.commandBuffer instanceof ArrayBuffer ? 1 : 0);
  record("check.functions", Object.keys(fs).join(","));

  // The ROS buffer is shared both ways: a byte for the test, and one from it.
  const rosBytes = new Uint8Array(connect.rosBuffer);
  rosBytes[64] = 0x5a;
  record("check.marker.written", 1);
  const watchMarker = () => (rosBytes[65] !== 0 ? record("check.marker.seen", rosBytes[65]) : setTimeout(watchMarker, 10));
  watchMarker();

  const bytes = new Uint8Array(24);
  for (let i = 0; i < bytes.length; ++i) bytes[i] = i;
  record("fs.write.view", fs.WriteFile(`${dir}/nested/deeper/view.bin`, new Uint8Array(bytes.buffer, 8, 8)));
  const back = fs.ReadFile(`${dir}/nested/deeper/view.bin`);
  record("fs.read.view", back ? Array.from(new Uint8Array(back)).join(",") : "null");
  record("fs.write.string", fs.WriteFile(`${dir}/string/never.bin`, "not bytes"));
  record("fs.write.array", fs.WriteFile(`${dir}/array/never.bin`, [1, 2, 3]));
  record("fs.write.empty", fs.WriteFile(`${dir}/empty.bin`, new ArrayBuffer(0)));
  const empty = fs.ReadFile(`${dir}/empty.bin`);
  record("fs.read.empty", empty instanceof ArrayBuffer ? empty.byteLength : "null");
  record("fs.read.missing", fs.ReadFile(`${dir}/missing.bin`) === null ? "null" : "value");
  record("fs.exists.dir", fs.Exists(dir));
  record("fs.exists.file", fs.Exists(`${dir}/empty.bin`));
  record("fs.exists.missing", fs.Exists(`${dir}/missing.bin`));
  const modified = fs.LastModified(`${dir}/empty.bin`);
  record("fs.modified", modified instanceof Date ? Math.round(Math.abs(Date.now() - modified.getTime()) / 1000) : "null");
  record("fs.modified.missing", fs.LastModified(`${dir}/missing.bin`) === null ? "null" : "value");
  record("fs.list.file", fs.ListDirectory(`${dir}/empty.bin`, false) === null ? "null" : "value");
  fs.WriteFile(`${dir}/tree/sub/leaf.txt`, new TextEncoder().encode("leaf"));
  const tree = fs.ListDirectory(`${dir}/tree`, true);
  record("fs.list.tree", tree ? Object.entries(tree).sort().map(([k, v]) => `${k}=${v}`).join(";") : "null");
  const flat = fs.ListDirectory(`${dir}/nested`, false);
  record("fs.list.flat", flat ? Object.entries(flat).map(([k, v]) => `${k}=${v}`).join(";") : "null");
  record("fs.write.fewargs", fs.WriteFile());
  record("fs.exists.noargs", fs.Exists());

  // Navigation outside the allow-list does not happen (the frame stays).
  const probe = document.createElement("iframe");
  probe.src = "http://not-allowed.invalid/";
  document.body.appendChild(probe);
  await new Promise((r) => setTimeout(r, 300));
  let stayed = "blocked";
  try { stayed = probe.contentWindow.location.href; } catch (e) { stayed = "cross-origin"; }
  record("nav.blocked", stayed);

  // The sign-in page goes to the system browser; this page stays.
  if (config.signIn) {
    const link = document.createElement("a");
    link.href = "/account/signin/google";
    document.body.appendChild(link);
    link.click();
    await new Promise((r) => setTimeout(r, 300));
    record("nav.stayed", window.location.pathname);
  }
}

// The native pickers: each answer is reported as JSON.
async function runPickers(connect, config, record) {
  const fs = connect.fileSystem;
  record("picker.file.open", 1);
  record("picker.file", JSON.stringify(await fs.FilePicker(false, "Pick a model", config.scratch, [".bin"])));
  record("picker.dir.open", 1);
  record("picker.dir", JSON.stringify(await fs.DirectoryPicker("Pick a folder", config.scratch)));
}

async function runModbus(connect, server, modbus, record, show) {
  const { modbusTag, TYPE, AREA } = Kestrel;
  const outputsTable = document.getElementById("outputs");
  const inputsTable = document.getElementById("inputs");
  const connected = await server.ask("ServerConnect", {
    protocol: 4, type: "", host: modbus.host, port: modbus.port, unitId: 1, flags: 0, rack: 0, slot: 0,
    scanRate: 0.02,
  });
  record("modbus.connected", connected);
  const outputNames = ["wave", "counter", "running"];
  const outputs = [modbusTag(AREA.holding, 0, TYPE.u16), modbusTag(AREA.holding, 1, TYPE.u16),
                   modbusTag(AREA.coils, 0, TYPE.bool)];
  const inputNames = ["page step", "page flag"];
  const inputs = [modbusTag(AREA.holding, 10, TYPE.u16), modbusTag(AREA.coils, 5, TYPE.bool)];
  const bound = await server.ask("BindingTables", {
    host: modbus.host, id: modbus.id || 1,
    inputs: { version: 1, tags: inputs }, outputs: { version: 1, tags: outputs },
  });
  record("modbus.bound", bound);

  const stepper = new Kestrel.SignalStepper(connect.signalBuffer);
  const values = new Map();
  let step = 0;
  const wave = document.getElementById("wave");
  for (;;) {
    try {
      for (const rec of await stepper.readOutputs())
        for (const [index, value] of rec.pairs) values.set(index, value);
      step = (step + 1) & 0xffff;
      await stepper.writeInputs([{ id: modbus.id || 1, version: 1, pairs: [[0, step], [1, (step >> 4) & 1]] }]);
    } catch (e) {
      record("modbus.error", e.message);
    }
    for (const [index, value] of values) {
      show(outputsTable, outputNames[index] || `#${index}`, value);
      record(`modbus.out.${index}`, value);
    }
    show(inputsTable, inputNames[0], step);
    show(inputsTable, inputNames[1], (step >> 4) & 1);
    record("modbus.steps", step);
    if (values.has(0)) wave.style.width = `${(values.get(0) / 1000) * 100}%`;
    await new Promise((r) => setTimeout(r, 50));
  }
}
