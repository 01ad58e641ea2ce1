// The JavaScript's lint rules: eslint's recommended set, with the globals of
// where each file runs (Node for the hub and its tools, the browser for the page).
"use strict";
const js = require("@eslint/js");
const globals = require("globals");

module.exports = [
  js.configs.recommended,
  {
    files: ["hub/**/*.js", "bench/hub/*.js", "scripts/lint/*.cjs", "scripts/bundle/*.js"],
    languageOptions: {sourceType: "commonjs", globals: globals.node},
  },
  {
    // The messages' contract: a plain script in the page, a module in Node.
    files: ["hub/lib/messages.js"],
    languageOptions: {sourceType: "script", globals: Object.assign({}, globals.node, globals.browser)},
  },
  {
    files: ["clients/web/*.js"],
    languageOptions: {sourceType: "script", globals: Object.assign({}, globals.browser, {mqtt: "readonly", uPlot: "readonly"})},
  },
  {rules: {"no-unused-vars": ["error", {caughtErrors: "none"}]}},
];
