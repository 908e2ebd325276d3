// Parses an event stream with the npm package eventsource-parser, feeding it in pieces of
// pseudo-random size, and prints one line per event: the id, the type and the data, each as
// hexadecimal UTF-8 ("-" when absent). Usage: node parse.mjs FILE SEED
import { readFileSync } from "node:fs";
import { createParser } from "eventsource-parser";

const [file, seedText] = process.argv.slice(2);
const bytes = readFileSync(file);
let seed = Number(seedText) >>> 0 || 1;
const random = () => {
  seed = (Math.imul(seed, 1103515245) + 12345) >>> 0;
  return seed >>> 16;
};
const hex = (text) => (text === undefined ? "-" : Buffer.from(text, "utf8").toString("hex") || "=");

const lines = [];
const parser = createParser({
  onEvent: (event) => lines.push(`${hex(event.id)} ${hex(event.event)} ${hex(event.data)}`),
});
// The decoder removes a byte-order mark at the start (the parser looks for its bytes, which a
// decoded string no longer has).
const decoder = new TextDecoder("utf-8", { fatal: false, ignoreBOM: false });
for (let offset = 0; offset < bytes.length; ) {
  const size = 1 + (random() % 64);
  const text = decoder.decode(bytes.subarray(offset, offset + size), { stream: true });
  offset += size;
  if (text !== "") parser.feed(text);
}
const rest = decoder.decode();
if (rest !== "") parser.feed(rest);
process.stdout.write(lines.join("\n") + (lines.length ? "\n" : ""));
