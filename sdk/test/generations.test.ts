// The generation gate on scripted wire orders, including the races that the
// real engine produces only by chance: events of the old media read between a
// load and its ack, two loads out at once, a refused load, a stop.

import assert from 'node:assert/strict';
import { test } from 'node:test';
import { Generations } from '../src/generations.js';
import type { CommandName } from '../src/protocol.js';

// A frame step names its generation and whether the gate wants it.
type Step = ['send', CommandName] | ['ack', CommandName, boolean, number?] | ['event', string] | ['frame', number, boolean];

const cases: [string, Step[], string[], number][] = [
  ['what the old media says while a load is out is dropped',
    [['event', 'a'], ['send', 'load'], ['event', 'old'], ['ack', 'load', true, 1], ['event', 'new']], ['a', 'new'], 1],
  ['a refused load delivers what it held, in order',
    [['send', 'load'], ['event', 'x'], ['event', 'y'], ['ack', 'load', false], ['event', 'z']], ['x', 'y', 'z'], 0],
  ['a stop of loaded media moves on; a stop of none does not',
    [['send', 'load'], ['ack', 'load', true, 4], ['send', 'stop'], ['event', 'old'], ['ack', 'stop', true],
      ['event', 'stopped'], ['send', 'stop'], ['event', 'kept'], ['ack', 'stop', true]], ['stopped', 'kept'], 5],
  ['a refused load holds on while another is out',
    [['send', 'load'], ['send', 'load'], ['event', 'x'], ['ack', 'load', false], ['event', 'y'],
      ['ack', 'load', true, 1]], [], 1],
  ['with two loads out, only the last one speaks',
    [['send', 'load'], ['send', 'load'], ['ack', 'load', true, 1], ['event', 'first'], ['ack', 'load', true, 2],
      ['event', 'second']], ['second'], 2],
  ['other commands hold nothing back',
    [['send', 'volume'], ['event', 'v'], ['ack', 'volume', false], ['send', 'play'], ['ack', 'play', true]], ['v'], 0],
  ['frames: the current generation, or a newer one while a load is out',
    [['frame', 0, true], ['frame', 1, false], ['send', 'load'], ['frame', 0, false], ['frame', 1, true],
      ['ack', 'load', true, 1], ['frame', 0, false], ['frame', 1, true], ['frame', 2, false]], [], 1],
];

test('TheGenerationGateFollowsTheAcks', () => {
  for (const [name, steps, delivered, generation] of cases) {
    const gate = new Generations<string>();
    const got: string[] = [];
    for (const step of steps) {
      if (step[0] === 'send') gate.sent(step[1]);
      else if (step[0] === 'ack') got.push(...gate.acked(step[1], step[2], step[3]).due);
      else if (step[0] === 'event') got.push(...gate.event(step[1]));
      else assert.equal(gate.wants(step[1]), step[2], `${name}: frame of ${step[1]}`);
    }
    assert.deepEqual([got, gate.current], [delivered, generation], name);
  }
});
