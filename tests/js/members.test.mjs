// The hints of the members table: the same cases as
// tests/host/test_member_names.py, so that both languages agree.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import * as members from "../../python_server/veltrum/com_like_host/addin/members.mjs";

const CASES = JSON.parse(readFileSync(new URL("../data/member_hints.json", import.meta.url), "utf8"));

for (const [name, names, nearest] of CASES.nearest) {
  test(`nearest of ${name}`, () => assert.equal(members.nearest(name, names), nearest));
}

for (const [type, name, text] of CASES.missing) {
  test(`missing ${type}.${name}`, () => assert.equal(members.missingText(type, name), text));
}

for (const [label, keyword, params, text] of CASES.keywords) {
  test(`keyword ${label}(${keyword}=)`, () => assert.equal(members.unknownKeywordText(label, keyword, params), text));
}

for (const [label, args, kwargs, text] of CASES.calls) {
  test(`call text ${text.slice(0, 40)}`, () => {
    const shown = [...args.map((v) => [null, v]), ...Object.entries(kwargs)];
    assert.equal(members.callText(label, shown, (v) => (Array.isArray(v) ? "Array" : "Object")), text);
  });
}

test("parameters come from the table; unknown methods and types give null", () => {
  assert.deepEqual(members.parameters("Range", "getOffsetRange"), ["rowOffset", "columnOffset"]);
  assert.equal(members.parameters("Range", "nope"), null);
  assert.equal(members.parameters("Chartish", "add"), null);
  assert.equal(members.parameters("Range", "constructor"), null);
});
