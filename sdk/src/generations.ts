// Which events and frames belong to the media the host asked for last.
// Events carry no generation: an event belongs to the generation of the last
// ack read before it, as the engine sends a load's ack before any event of
// its generation. Once a load or stop is sent, what the old media still says
// is stale; it is held until the ack tells whether the media was replaced
// (then dropped) or not (a refused load: then delivered). Frames carry
// their generation.

import { COMMANDS, type CommandName } from './protocol.js';

/** The most events held while a load or stop is out; older ones go first. */
const MAX_HELD = 1000;

export class Generations<E> {
  /** The generation as of the last ack read. */
  current = 0;
  /** The engine's player has media: a stop then makes a new generation. */
  private hasMedia = false;
  /** Loads and stops sent whose acks are still to come. */
  private out = 0;
  private held: E[] = [];

  /** A command went out. */
  sent(cmd: CommandName): void {
    if ('newGeneration' in COMMANDS[cmd]) this.out++;
  }

  /**
   * A command's ack came; `generation` is the one a load's ack carries.
   * Returns whether the generation moved, and the held events now due.
   */
  acked(cmd: CommandName, ok: boolean, generation?: number): { moved: boolean; due: E[] } {
    if (!('newGeneration' in COMMANDS[cmd])) return { moved: false, due: [] };
    this.out--;
    let moved = false;
    if (ok && cmd === 'load') {
      this.current = generation ?? this.current + 1;
      this.hasMedia = moved = true;
    } else if (ok && cmd === 'stop' && this.hasMedia) {
      this.current++;
      this.hasMedia = false;
      moved = true;
    }
    if (moved) this.held = [];
    if (moved || this.out > 0) return { moved, due: [] };
    const due = this.held;
    this.held = [];
    return { moved, due };
  }

  /** An event came: the events to deliver now (it, or none while it is held). */
  event(e: E): E[] {
    if (this.out === 0) return [e];
    if (this.held.push(e) > MAX_HELD) this.held.shift();
    return [];
  }

  /** Whether a frame of `generation` is wanted: the current one's, or a newer one's while a load is out. */
  wants(generation: number): boolean {
    return this.out > 0 ? generation > this.current : generation === this.current;
  }
}
