// Sparkplug B payloads as a client nobody here wrote reads and writes them
// (npm sparkplug-payload). One request per line on standard input, one answer
// per line on standard output:
//   decode BASE64   ->  the payload as JSON (64-bit numbers as numbers, bytes as base64);
//                       each metric's "typed" says whether it carried its data type
//                       (births do; data need not, and is read with the types of the
//                       births seen so far, by metric name, as a host does)
//   encode JSON     ->  the payload encoded, as BASE64
// A request that fails answers {"error": "..."}.
'use strict';
const readline = require('readline');
const sparkplug = require('sparkplug-payload').get('spBv1.0');
const Proto = require('sparkplug-payload/lib/sparkplugPayloadProto').org.eclipse.tahu.protobuf.Payload;

const types = new Map();  // metric name -> data type, from the births
function decode(bytes) {
    const raw = Proto.decode(bytes);
    const typed = raw.metrics.map((m) => Boolean(m.datatype));
    for (const m of raw.metrics) {
        if (m.datatype) {
            types.set(m.name, m.datatype);
        } else if (types.has(m.name)) {
            m.datatype = types.get(m.name);
        }
    }
    const payload = sparkplug.decodePayload(Proto.encode(raw).finish());
    (payload.metrics || []).forEach((m, i) => { m.typed = typed[i]; });
    return payload;
}

function plain(value) {
    if (value === null || value === undefined) return null;
    if (typeof value === 'bigint') return Number(value);
    if (typeof value.toNumber === 'function') return value.toNumber();  // Long
    if (Buffer.isBuffer(value) || value instanceof Uint8Array) return {base64: Buffer.from(value).toString('base64')};
    if (Array.isArray(value)) return value.map(plain);
    if (typeof value === 'object') {
        const out = {};
        for (const [k, v] of Object.entries(value)) out[k] = plain(v);
        return out;
    }
    return value;
}

const lines = readline.createInterface({input: process.stdin});
lines.on('line', (line) => {
    const space = line.indexOf(' ');
    const verb = line.slice(0, space), arg = line.slice(space + 1);
    try {
        if (verb === 'decode') {
            console.log(JSON.stringify(plain(decode(Buffer.from(arg, 'base64')))));
        } else if (verb === 'encode') {
            console.log(Buffer.from(sparkplug.encodePayload(JSON.parse(arg))).toString('base64'));
        } else {
            console.log(JSON.stringify({error: 'unknown request ' + verb}));
        }
    } catch (e) {
        console.log(JSON.stringify({error: String(e && e.message || e)}));
    }
});
