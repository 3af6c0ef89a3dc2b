// Reads one "baggage" header on stdin with a W3C Baggage implementation.
// Prints what it read as a JSON object (key -> value) on the first line, and
// on the second the header that implementation writes for those entries.
import { readFileSync } from 'node:fs';

import {
  ROOT_CONTEXT,
  defaultTextMapGetter,
  defaultTextMapSetter,
  propagation,
} from '@opentelemetry/api';
import { W3CBaggagePropagator } from '@opentelemetry/core';

const header = readFileSync(0, 'utf8').replace(/\r?\n$/, '');
const propagator = new W3CBaggagePropagator();

const extracted = propagator.extract(ROOT_CONTEXT, { baggage: header }, defaultTextMapGetter);
const entries = {};
for (const [key, entry] of propagation.getBaggage(extracted)?.getAllEntries() ?? []) {
  entries[key] = entry.value;
}
process.stdout.write(`${JSON.stringify(entries)}\n`);

const reinjected = {};
const values = Object.fromEntries(Object.entries(entries).map(([key, value]) => [key, { value }]));
propagator.inject(
  propagation.setBaggage(ROOT_CONTEXT, propagation.createBaggage(values)),
  reinjected,
  defaultTextMapSetter,
);
process.stdout.write(`${reinjected.baggage ?? ''}\n`);
