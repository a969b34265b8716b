// The release queue: releases wait for a sync that happens anyway; after
// idleMs without one they are sent in a sync of their own. A failed one is
// tried again later: a release is never lost.

export class ReleaseQueue {
  /** batchOpen(): whether a transaction holds the releases back until it ends. */
  constructor({ table, turns, syncs, batchOpen, idleMs }) {
    Object.assign(this, { table, turns, syncs, batchOpen, idleMs });
    this.timer = null;
  }

  schedule() {
    if (this.timer !== null || !this.table.hasUntracks) return;
    this.timer = setTimeout(() => {
      this.timer = null;
      this.turns.run(async () => {
        if (this.batchOpen() || !this.table.hasUntracks) return;   // after the commit or rollback
        this.table.queueUntracks();
        for (const ctx of this.table.untrackContexts) {
          try {
            await this.syncs.on(ctx);
          } catch {
            // Nothing anyone waits for; what did not go is due again.
          }
        }
      }).catch(() => {}).finally(() => this.schedule());
    }, this.idleMs);
    if (typeof this.timer === "object" && typeof this.timer.unref === "function") this.timer.unref();
  }
}
