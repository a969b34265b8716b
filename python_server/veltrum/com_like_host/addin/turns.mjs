// Requests take turns: one runs at a time on the shared request context, so
// that every sync carries only the commands of the request that will report
// its errors.
//
// A turn that goes its time limit without progress is answered with
// RequestAborted and the next turn starts; whatever the stuck request still
// does later takes no turn again, and its block loops stop.
//
// A Python callable that Office.js calls from inside a request's call (for
// example Excel.run(python_function)) may itself make requests; they would
// wait forever behind the request that is waiting for them. So while such a
// callable runs, its request lends its turn to the others and takes it back,
// ahead of the queue, before returning to Office.js. Only a callable called
// synchronously from the call lends the turn: an event handler that fires
// while a request waits for Excel must not let requests slip into the middle
// of that request.

import { AddinError } from "./errors.mjs";

export class Turns {
  constructor(timeoutMs) {
    this.timeoutMs = timeoutMs;
    this.holder = null;
    this.waiting = [];
    this.callingNow = null;
  }

  acquire(token, first = false) {
    return new Promise((resolve) => {
      if (this.holder === null) {
        this.holder = token;
        resolve();
      } else if (first) {
        this.waiting.unshift({ token, resolve });
      } else {
        this.waiting.push({ token, resolve });
      }
    });
  }

  release(token) {
    if (this.holder !== token) return;
    const next = this.waiting.shift();
    this.holder = next ? next.token : null;
    if (next) next.resolve();
  }

  /**
   * Runs job(token) in its turn; settles like job, or with RequestAborted
   * when the turn goes timeoutMs without progress (token.touch() reports
   * some). An aborted token is dead: its block loops stop.
   */
  run(job, token = { dead: false }) {
    return this.acquire(token).then(() => {
      let timer;
      let abort;
      const limit = new Promise((resolve, reject) => { abort = reject; });
      token.touch = () => {
        clearTimeout(timer);
        timer = setTimeout(() => {
          token.dead = true;
          abort(new AddinError("RequestAborted",
            `the request did not finish within ${this.timeoutMs / 1000} s of its last progress; `
            + "the add-in moved on to the next one"));
        }, this.timeoutMs);
      };
      token.touch();
      const work = Promise.resolve().then(() => job(token));
      return Promise.race([work, limit]).finally(() => {
        clearTimeout(timer);
        token.touch = () => {};
        this.release(token);
      });
    });
  }

  /** Calls fn() synchronously as the call of token's request (see lend). */
  calling(token, fn) {
    const outer = this.callingNow;
    this.callingNow = token;
    try {
      return fn();
    } finally {
      this.callingNow = outer;
    }
  }

  /**
   * Awaits wait(); when called synchronously from a call made by the turn's
   * holder, lends the turn meanwhile. Must be called before any await of the
   * caller, so that the calling request is still known.
   */
  async lend(wait) {
    const token = this.callingNow;
    if (token === null || this.holder !== token) return wait();
    this.release(token);
    try {
      return await wait();
    } finally {
      if (!token.dead) await this.acquire(token, true);
    }
  }
}
