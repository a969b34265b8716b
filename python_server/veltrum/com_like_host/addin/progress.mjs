// What a block loop of the request in its turn asks before each block
// (stop?) and tells after it (progress, which also moves its time limit on).

export function blockWatch(token, onProgress) {
  if (!token) return undefined;
  return {
    stopped: () => (token.cancelled ? "the host asked to stop" : token.dead ? "out of time" : null),
    step: (rows, totalRows, cols) => {
      token.touch();
      if (token.requestId === null || token.requestId === undefined) return;
      try {
        onProgress(token.requestId, { rows, totalRows, cells: rows * cols, totalCells: totalRows * cols });
      } catch {
        // A report that does not go out is no reason to stop the work.
      }
    },
  };
}
