// Runs one Ruby snippet on Ruby's WebAssembly build under Node's WASI, in
// an interpreter of its own, with one folder mapped in:
//   node run.js RUBY.wasm FOLDER MOUNT SNIPPET
// What Ruby prints goes to stdout; a snippet that raises prints a FAIL line.
"use strict";
const fs = require("node:fs");
const { WASI } = require("node:wasi");
const { RubyVM } = require("@ruby/wasm-wasi/dist/vm");

const [wasmPath, folder, mount, snippet] = process.argv.slice(2);

WebAssembly.compile(fs.readFileSync(wasmPath))
  .then((module) => {
    const wasi = new WASI({ version: "preview1", env: {}, preopens: { [mount]: folder }, returnOnExit: true });
    return RubyVM.instantiateModule({ module, wasip1: wasi, args: ["ruby.wasm", "-EUTF-8", "-e_=0"] });
  })
  .then(({ vm }) => {
    try {
      vm.eval(snippet);
    } catch (error) {
      console.log(`FAIL ${snippet}: ${error.message}`);
    }
    process.exit(0);
  });
