// What actionlint cannot see in the CI workflow: that every artifact a job
// downloads holds, where that job's steps look, exactly the files they want.
// The files are a real release made by the suite; the artifact is laid out
// as upload-artifact documents it (the least common ancestor of the paths'
// search roots as its root, the folders after a wildcard kept), unpacked
// where download-artifact puts it, and every Get-ChildItem of the later
// job's PowerShell steps must find exactly one file there. Every pwsh step,
// and every PowerShell block of the deployment guide, must parse.
//   node handover.js MODULES_DIR WORKFLOW RELEASE_DIST GUIDE
// RELEASE_DIST is the folder a release was made into (dist/VERSION/... below
// it); the workflow's paths under dist/ are resolved in it. Exits 1 on a
// finding, printing each.
"use strict";
const fs = require("fs");
const path = require("path");
const { execFileSync } = require("child_process");

const [modules, workflowFile, releaseDist, guideFile] = process.argv.slice(2);
if (!guideFile) {
    console.error("usage: node handover.js MODULES_DIR WORKFLOW RELEASE_DIST GUIDE");
    process.exit(2);
}
const need = (name) => require(require.resolve(name, { paths: [path.resolve(modules)] }));
const YAML = need("yaml");
const { Parser, Language } = need("web-tree-sitter");

const findings = [];
const finding = (text) => findings.push(text);

// Every file below `root`, as paths relative to it with "/".
function filesBelow(root) {
    const out = [];
    const walk = (dir, rel) => {
        for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
            const relPath = rel ? `${rel}/${entry.name}` : entry.name;
            if (entry.isDirectory()) walk(path.join(dir, entry.name), relPath);
            else out.push(relPath);
        }
    };
    if (fs.existsSync(root)) walk(root, "");
    return out;
}

// A glob segment ("*", "?") as a regular expression.
const segmentRegex = (glob) =>
    new RegExp(`^${glob.replace(/[.+^${}()|[\]\\]/g, "\\$&").replace(/\*/g, ".*").replace(/\?/g, ".")}$`, "i");
const hasWildcard = (text) => /[*?[]/.test(text);

// ${{ steps.ID.outputs.NAME }}: the runner's value, got by running the step
// (bash, in the source folder) as the runner would; other expressions are
// left as they are and match nothing.
function expand(text, job, sourceDir) {
    return text.replace(/\$\{\{\s*steps\.([\w-]+)\.outputs\.([\w-]+)\s*\}\}/g, (whole, id, name) => {
        const step = (job.steps || []).find((s) => s.id === id);
        if (!step || !step.run) return whole;
        const folder = fs.mkdtempSync(path.join(require("os").tmpdir(), "handover-"));
        try {
            const outputFile = path.join(folder, "output");
            fs.writeFileSync(outputFile, "");
            execFileSync("bash", ["-e", "-c", step.run], { cwd: sourceDir, env: { ...process.env, GITHUB_OUTPUT: outputFile } });
            const line = fs.readFileSync(outputFile, "utf8").split("\n").find((l) => l.startsWith(`${name}=`));
            return line ? line.slice(name.length + 1) : whole;
        } finally {
            fs.rmSync(folder, { recursive: true, force: true });
        }
    });
}

// The files an upload-artifact step puts in its artifact, relative to the
// artifact's root, with where each comes from in the workspace.
function artifactLayout(step, job, sourceDir, workspaceFiles) {
    const patterns = String(step.with.path)
        .split("\n")
        .map((p) => p.trim())
        .filter((p) => p && !p.startsWith("!"))
        .map((p) => expand(p, job, sourceDir).replace(/\\/g, "/").replace(/^\.\//, ""));
    // Each pattern's search root: the folders before its first wildcard (or
    // the folder holding a plain file).
    const roots = patterns.map((p) => {
        const parts = p.split("/");
        const first = parts.findIndex(hasWildcard);
        return (first === -1 ? parts.slice(0, -1) : parts.slice(0, first)).join("/");
    });
    let root = roots[0].split("/");
    for (const other of roots.slice(1)) {
        const parts = other.split("/");
        let same = 0;
        while (same < root.length && same < parts.length && root[same] === parts[same]) same++;
        root = root.slice(0, same);
    }
    const rootText = root.filter(Boolean).join("/");
    const layout = new Map();
    for (const pattern of patterns) {
        const parts = pattern.split("/").map(segmentRegex);
        for (const file of workspaceFiles) {
            const fileParts = file.split("/");
            if (fileParts.length === parts.length && parts.every((re, i) => re.test(fileParts[i]))) {
                layout.set(rootText ? file.slice(rootText.length + 1) : file, file);
            }
        }
    }
    return layout;
}

// The argument after a parameter of a command node, as plain text, with
// $env:NAME taken from `env`; null when it cannot be told.
function argumentText(node, env) {
    const text = node.text.replace(/^@\(|\)$/g, "");
    const quoted = /^'([^']*)'$/.exec(text) || /^"([^"$`]*)"$/.exec(text);
    if (quoted) return quoted[1];
    const variable = /^\$env:(\w+)$/i.exec(text);
    if (variable) return env[variable[1]] === undefined ? null : String(env[variable[1]]);
    return /^[^$"'`(@]+$/.test(text) ? text : null;
}

// Each Get-ChildItem of a PowerShell script that looks for files by a
// filter: { path, filter, recurse, text }.
function childItemLookups(tree, env) {
    const lookups = [];
    const walk = (node) => {
        if (node.type === "command" && /^get-childitem$|^gci$|^dir$|^ls$/i.test(node.childForFieldName("command_name")?.text || "")) {
            const elements = (node.childForFieldName("command_elements")?.namedChildren || []).filter(
                (n) => n.type !== "command_argument_sep",
            );
            const lookup = { path: ".", filter: undefined, recurse: false, text: node.text.trim() };
            for (let i = 0; i < elements.length; i++) {
                const element = elements[i];
                if (element.type === "command_parameter") {
                    const name = element.text.toLowerCase();
                    if (name === "-recurse") lookup.recurse = true;
                    else if (["-path", "-literalpath", "-filter"].includes(name) && elements[i + 1]) {
                        lookup[name === "-filter" ? "filter" : "path"] = argumentText(elements[++i], env);
                    } else if (elements[i + 1] && elements[i + 1].type !== "command_parameter" && !/^-(file|directory|force|name)$/.test(name)) {
                        i++;
                    }
                } else if (lookup.path === ".") {
                    lookup.path = argumentText(element, env);
                }
            }
            if (lookup.filter !== undefined) lookups.push(lookup);  // without a filter it lists, not looks for
        }
        for (const child of node.namedChildren) walk(child);
    };
    walk(tree.rootNode);
    return lookups;
}

// The first place a tree does not parse, as "line L, column C".
function syntaxError(tree) {
    let found = null;
    const walk = (node) => {
        if (found) return;
        if (node.type === "ERROR" || node.isMissing) found = node;
        else for (const child of node.children) walk(child);
    };
    walk(tree.rootNode);
    const at = found ? found.startPosition : tree.rootNode.startPosition;
    return `line ${at.row + 1}, column ${at.column + 1}`;
}

async function main() {
    await Parser.init();
    const powershell = await Language.load(path.resolve(modules, "tree-sitter-powershell/tree-sitter-powershell.wasm"));
    const parser = new Parser();
    parser.setLanguage(powershell);
    const parse = (script, where) => {
        // An expression is text the runner puts in before PowerShell reads the script.
        const tree = parser.parse(script.replace(/\$\{\{[^}]*\}\}/g, "EXPR"));
        if (tree.rootNode.hasError) finding(`${where}: PowerShell does not parse (${syntaxError(tree)})`);
        return tree;
    };

    const sourceDir = path.resolve(path.dirname(workflowFile), "../..");
    const workflow = YAML.parse(fs.readFileSync(workflowFile, "utf8"));
    const jobs = workflow.jobs || {};
    // The workspace of the job that made the release: dist/ is the release's.
    const workspaceFiles = filesBelow(releaseDist).map((f) => `dist/${f}`);
    if (workspaceFiles.length === 0) finding(`no release in ${releaseDist}`);

    const uploads = new Map();  // artifact name -> { job, layout }
    for (const [jobName, job] of Object.entries(jobs)) {
        for (const step of job.steps || []) {
            if (String(step.uses || "").startsWith("actions/upload-artifact@") && step.with && step.with.name) {
                uploads.set(String(step.with.name), { job: jobName, layout: artifactLayout(step, job, sourceDir, workspaceFiles) });
            }
        }
    }
    const needs = (job) => [].concat(jobs[job].needs || []);
    const upstream = (job, seen = new Set()) => {
        for (const before of needs(job)) if (!seen.has(before)) upstream(before, seen.add(before));
        return seen;
    };

    for (const [jobName, job] of Object.entries(jobs)) {
        const downloaded = new Map();  // path in the workspace ("/") -> origin
        let checked = 0;
        for (const [index, step] of (job.steps || []).entries()) {
            const where = `${path.basename(workflowFile)}: job ${jobName}, step ${step.name || step.uses || index + 1}`;
            if (String(step.uses || "").startsWith("actions/download-artifact@")) {
                const name = String((step.with || {}).name || "");
                const upload = uploads.get(name);
                if (!upload || !upstream(jobName).has(upload.job)) {
                    finding(`${where}: downloads "${name}", which no job it needs uploads`);
                    continue;
                }
                if (upload.layout.size === 0) finding(`${where}: the artifact "${name}" would hold no file of the release`);
                const into = String((step.with || {}).path || ".").replace(/\\/g, "/").replace(/\/$/, "");
                for (const file of upload.layout.keys()) downloaded.set(into === "." ? file : `${into}/${file}`, name);
            }
            const shell = step.shell || (job.defaults && job.defaults.run && job.defaults.run.shell);
            if (!step.run || shell !== "pwsh") continue;
            const tree = parse(String(step.run), where);
            const env = { ...(workflow.env || {}), ...(job.env || {}), ...(step.env || {}) };
            for (const lookup of childItemLookups(tree, env)) {
                if (lookup.path === null || lookup.filter === null) {
                    finding(`${where}: cannot tell where this looks: ${lookup.text}`);
                    continue;
                }
                const folder = lookup.path.replace(/\\/g, "/").replace(/^\.\//, "").replace(/\/$/, "");
                if (![...downloaded.keys()].some((f) => f.startsWith(`${folder}/`))) continue;  // not in an artifact
                const filter = segmentRegex(lookup.filter);
                const found = [...downloaded.keys()].filter((file) => {
                    if (!file.startsWith(`${folder}/`)) return false;
                    const rest = file.slice(folder.length + 1);
                    return (lookup.recurse || !rest.includes("/")) && filter.test(path.posix.basename(rest));
                });
                checked++;
                if (found.length !== 1) {
                    finding(`${where}: ${lookup.text} finds ${found.length} file(s); the download holds: ` +
                        [...downloaded.keys()].join(", "));
                }
            }
        }
        if (downloaded.size > 0 && checked === 0) finding(`job ${jobName} downloads artifacts but no pwsh step looks for them`);
    }

    // The deployment guide's PowerShell, as an administrator would paste it.
    const guide = fs.readFileSync(guideFile, "utf8");
    const blocks = [...guide.matchAll(/^([ \t]*)```powershell\n([\s\S]*?)^\1```/gm)];
    if (blocks.length === 0) finding(`${guideFile}: no PowerShell block found`);
    for (const block of blocks) {
        const line = guide.slice(0, block.index).split("\n").length;
        parse(block[2], `${path.basename(guideFile)}, the PowerShell block at line ${line}`);
    }

    for (const text of findings) console.log(`FAIL: ${text}`);
    console.log(`hand-over: ${uploads.size} artifact(s), ${blocks.length} guide script(s), ${findings.length} finding(s)`);
    process.exit(findings.length === 0 ? 0 : 1);
}

main().catch((error) => {
    console.error(`the hand-over check did not run: ${error.stack || error}`);
    process.exit(2);
});
