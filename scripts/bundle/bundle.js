// Packs the hub (an assembled hub folder: hub.js, lib/, node_modules/) into one
// file, so that node.exe reads one file at start instead of thousands: on Windows
// (a virus scanner looks at each) and under Wine, opening them was most of the
// start. Every module keeps the folder it was written for: __dirname,
// __filename and import.meta name the module's place in the assembled folder,
// so the data files a library reads beside its code (node-opcua's nodesets, the
// hub's own nodeset) are found where scripts/build-hub keeps them.
//   node bundle.js HUB_FOLDER OUT_FILE
"use strict";
const fs = require("fs");
const path = require("path");
const esbuild = require("esbuild");

const [folder, outFile] = process.argv.slice(2).map((p) => path.resolve(p));
if (!folder || !outFile) {
  console.error("usage: node bundle.js HUB_FOLDER OUT_FILE");
  process.exit(2);
}

// A module's place, as an expression evaluated in the bundle (whose own
// __dirname is where the hub.js it replaces was), so that the package can be
// moved as a whole.
const placeOf = (file) => {
  const rel = path.relative(folder, file).split(path.sep).join("/");
  return "__hubPlace(" + JSON.stringify(rel) + ")";
};
const declares = (text, name) => new RegExp("\\b(?:var|let|const|function)\\s+" + name + "\\b").test(text);

const keepPlaces = {
  name: "keep-places",
  setup(build) {
    build.onLoad({filter: /\.(c|m)?js$/}, async (args) => {
      let text = await fs.promises.readFile(args.path, "utf8");
      const dir = placeOf(path.dirname(args.path)), file = placeOf(args.path);
      text = text.replace(/\bimport\.meta\.dirname\b/g, dir)
        .replace(/\bimport\.meta\.filename\b/g, file)
        .replace(/\bimport\.meta\.url\b/g, "require(\"url\").pathToFileURL(" + file + ").href");
      // A CommonJS module gets its own, in the function the bundle wraps it in.
      // An ES module has none (it makes them from import.meta, replaced above),
      // and a declaration there would be the whole bundle's.
      const own = [];
      const esm = /^\s*(?:import|export)\b/m.test(text);
      if (!esm && /\b__dirname\b/.test(text) && !declares(text, "__dirname")) own.push("__dirname = " + dir);
      if (!esm && /\b__filename\b/.test(text) && !declares(text, "__filename")) own.push("__filename = " + file);
      if (own.length) {
        // After a "#!" line, which must stay the first.
        const at = text.startsWith("#!") ? text.indexOf("\n") + 1 : 0;
        text = text.slice(0, at) + "var " + own.join(", ") + ";\n" + text.slice(at);
      }
      return {contents: text, loader: "js", resolveDir: path.dirname(args.path)};
    });
  },
};

esbuild.build({
  entryPoints: [path.join(folder, "hub.js")],
  outfile: outFile,
  bundle: true,
  platform: "node",
  format: "cjs",
  target: "node24",
  // The hub's own code stays readable in the bundle; the libraries keep their names.
  minify: false,
  legalComments: "eof",
  logLevel: "warning",
  plugins: [keepPlaces],
  // Optional peers that the libraries try to load and do without: none is installed.
  external: ["proper-lockfile"],
  banner: {js: "const __hubFolder = __dirname, __hubPlace = (p) => require(\"path\").join(__hubFolder, p);"},
}).catch(() => process.exit(1));
