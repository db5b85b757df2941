'use strict';
// A small seeded generator (sfc32, seeded through splitmix32), so that a run
// is fully given by its seed and each call by the seed and its index.

function splitmix32(state) {
  let z = (state + 0x9e3779b9) | 0;
  z = Math.imul(z ^ (z >>> 16), 0x85ebca6b);
  z = Math.imul(z ^ (z >>> 13), 0xc2b2ae35);
  return (z ^ (z >>> 16)) >>> 0;
}

class Rng {
  constructor(seed) {
    let s = seed >>> 0;
    this.a = s = splitmix32(s);
    this.b = s = splitmix32(s);
    this.c = s = splitmix32(s);
    this.d = splitmix32(s);
    for (let i = 0; i < 12; i++) this.next();
  }

  // Uniform unsigned 32-bit integer.
  next() {
    const t = (((this.a + this.b) | 0) + this.d) | 0;
    this.d = (this.d + 1) | 0;
    this.a = this.b ^ (this.b >>> 9);
    this.b = (this.c + (this.c << 3)) | 0;
    this.c = (this.c << 21) | (this.c >>> 11);
    this.c = (this.c + t) | 0;
    return t >>> 0;
  }

  // Integer in [0, n).
  int(n) {
    return n <= 1 ? 0 : Math.floor((this.next() / 4294967296) * n);
  }

  chance(p) {
    return this.next() / 4294967296 < p;
  }

  pick(list) {
    return list[this.int(list.length)];
  }

  // Picks from [[weight, value], ...].
  weighted(pairs) {
    let total = 0;
    for (const [w] of pairs) total += w;
    let r = (this.next() / 4294967296) * total;
    for (const [w, v] of pairs) {
      if ((r -= w) < 0) return v;
    }
    return pairs[pairs.length - 1][1];
  }

  // An independent generator for values made later, e.g. inside a callback,
  // so that how often the engine calls it does not shift this one's stream.
  fork() {
    return new Rng(this.next());
  }
}

// The seed of call `index` of the run with `seed`.
function callSeed(seed, index) {
  return splitmix32((splitmix32(seed >>> 0) ^ Math.imul(index + 1, 0x27d4eb2f)) >>> 0);
}

module.exports = { Rng, callSeed };
