// Nonce generation kernels.
//
// A nonce is a chain of 8192 Shabal-256 hashes built downwards from a 16-byte
// seed, followed by one hash over the whole 262160-byte area that is XORed
// into every word. Each work item g of a launch of global size G owns one
// such area; its words are interleaved with those of the other work items
// (word w of item g is word w * G + g of genbuf) so that neighbouring work
// items always touch neighbouring words.
//
//   setup      writes the seed (account id, nonce number, both big-endian)
//   hash_down  runs `count` steps of the chain, going down from byte `start`
//   final      hashes the area, XORs the digest in and writes the 4096
//              scoops of the nonce in PoC2 order, scoop-major, to scoopbuf
//
// All word offsets are computed in size_t, so G is bounded only by the
// device's memory, not by 32-bit arithmetic.

#define AREA_WORDS 65540u      // 262160 bytes: 8192 hashes and the seed
#define SEED_WORD 65536u
#define MAX_MESSAGE 4096u      // a chain hash covers at most the 128 hashes above it

// Shabal-256 initial chaining values.
__constant uint SHABAL_A0[12] = {
  0x52F84552u, 0xE54B7999u, 0x2D8EE3ECu, 0xB9645191u,
  0xE0078B86u, 0xBB7C44C9u, 0xD2B5C1CAu, 0xB0D2EB8Cu,
  0x14CE5A45u, 0x22AF50DCu, 0xEFFDBC6Bu, 0xEB21B74Au,
};
__constant uint SHABAL_B0[16] = {
  0xB555C6EEu, 0x3E710596u, 0xA72A652Fu, 0x9301515Fu,
  0xDA28C1FAu, 0x696FD868u, 0x9CB6BF72u, 0x0AFE4002u,
  0xA6E03615u, 0x5138C1D4u, 0xBE216306u, 0xB38B8890u,
  0x3EA8B96Bu, 0x3299ACE4u, 0x30924DD4u, 0x55CB34A5u,
};
__constant uint SHABAL_C0[16] = {
  0xB405F031u, 0xC4233EBAu, 0xB3733979u, 0xC0DD9D55u,
  0xC51C28AEu, 0xA327B8E1u, 0x56C56167u, 0xED614433u,
  0x88B59D60u, 0x60E2CEBAu, 0x758B4B8Bu, 0x83E82A7Fu,
  0xBC968828u, 0xE6E00BF7u, 0xBA839E55u, 0x9B491C60u,
};

#define ROTL(x, n) rotate((uint)(x), (uint)(n))

// One step of the Shabal permutation.
#define STEP(a0, a1, b0, b1, b2, b3, c, m)                                      \
  A[a0] = ((A[a0] ^ (ROTL(A[a1], 15) * 5u) ^ C[c]) * 3u) ^ B[b1] ^             \
          (B[b2] & ~B[b3]) ^ M[m];                                             \
  B[b0] = ~(ROTL(B[b0], 1) ^ A[a0]);

// The keyed permutation, written out so every index is a constant and the
// whole state stays in registers.
void shabal_perm(uint* A, uint* B, const uint* C, const uint* M)
{
  for (int i = 0; i < 16; i++)
    B[i] = ROTL(B[i], 17);
  STEP( 0, 11,  0, 13,  9,  6,  8,  0);
  STEP( 1,  0,  1, 14, 10,  7,  7,  1);
  STEP( 2,  1,  2, 15, 11,  8,  6,  2);
  STEP( 3,  2,  3,  0, 12,  9,  5,  3);
  STEP( 4,  3,  4,  1, 13, 10,  4,  4);
  STEP( 5,  4,  5,  2, 14, 11,  3,  5);
  STEP( 6,  5,  6,  3, 15, 12,  2,  6);
  STEP( 7,  6,  7,  4,  0, 13,  1,  7);
  STEP( 8,  7,  8,  5,  1, 14,  0,  8);
  STEP( 9,  8,  9,  6,  2, 15, 15,  9);
  STEP(10,  9, 10,  7,  3,  0, 14, 10);
  STEP(11, 10, 11,  8,  4,  1, 13, 11);
  STEP( 0, 11, 12,  9,  5,  2, 12, 12);
  STEP( 1,  0, 13, 10,  6,  3, 11, 13);
  STEP( 2,  1, 14, 11,  7,  4, 10, 14);
  STEP( 3,  2, 15, 12,  8,  5,  9, 15);
  STEP( 4,  3,  0, 13,  9,  6,  8,  0);
  STEP( 5,  4,  1, 14, 10,  7,  7,  1);
  STEP( 6,  5,  2, 15, 11,  8,  6,  2);
  STEP( 7,  6,  3,  0, 12,  9,  5,  3);
  STEP( 8,  7,  4,  1, 13, 10,  4,  4);
  STEP( 9,  8,  5,  2, 14, 11,  3,  5);
  STEP(10,  9,  6,  3, 15, 12,  2,  6);
  STEP(11, 10,  7,  4,  0, 13,  1,  7);
  STEP( 0, 11,  8,  5,  1, 14,  0,  8);
  STEP( 1,  0,  9,  6,  2, 15, 15,  9);
  STEP( 2,  1, 10,  7,  3,  0, 14, 10);
  STEP( 3,  2, 11,  8,  4,  1, 13, 11);
  STEP( 4,  3, 12,  9,  5,  2, 12, 12);
  STEP( 5,  4, 13, 10,  6,  3, 11, 13);
  STEP( 6,  5, 14, 11,  7,  4, 10, 14);
  STEP( 7,  6, 15, 12,  8,  5,  9, 15);
  STEP( 8,  7,  0, 13,  9,  6,  8,  0);
  STEP( 9,  8,  1, 14, 10,  7,  7,  1);
  STEP(10,  9,  2, 15, 11,  8,  6,  2);
  STEP(11, 10,  3,  0, 12,  9,  5,  3);
  STEP( 0, 11,  4,  1, 13, 10,  4,  4);
  STEP( 1,  0,  5,  2, 14, 11,  3,  5);
  STEP( 2,  1,  6,  3, 15, 12,  2,  6);
  STEP( 3,  2,  7,  4,  0, 13,  1,  7);
  STEP( 4,  3,  8,  5,  1, 14,  0,  8);
  STEP( 5,  4,  9,  6,  2, 15, 15,  9);
  STEP( 6,  5, 10,  7,  3,  0, 14, 10);
  STEP( 7,  6, 11,  8,  4,  1, 13, 11);
  STEP( 8,  7, 12,  9,  5,  2, 12, 12);
  STEP( 9,  8, 13, 10,  6,  3, 11, 13);
  STEP(10,  9, 14, 11,  7,  4, 10, 14);
  STEP(11, 10, 15, 12,  8,  5,  9, 15);
  A[ 0] += C[11] + C[15] + C[ 3];
  A[ 1] += C[12] + C[ 0] + C[ 4];
  A[ 2] += C[13] + C[ 1] + C[ 5];
  A[ 3] += C[14] + C[ 2] + C[ 6];
  A[ 4] += C[15] + C[ 3] + C[ 7];
  A[ 5] += C[ 0] + C[ 4] + C[ 8];
  A[ 6] += C[ 1] + C[ 5] + C[ 9];
  A[ 7] += C[ 2] + C[ 6] + C[10];
  A[ 8] += C[ 3] + C[ 7] + C[11];
  A[ 9] += C[ 4] + C[ 8] + C[12];
  A[10] += C[ 5] + C[ 9] + C[13];
  A[11] += C[ 6] + C[10] + C[14];
}

void shabal_init(uint* A, uint* B, uint* C)
{
  for (int i = 0; i < 12; i++)
    A[i] = SHABAL_A0[i];
  for (int i = 0; i < 16; i++) {
    B[i] = SHABAL_B0[i];
    C[i] = SHABAL_C0[i];
  }
}

// Absorbs one full block with block counter w. The counter's high word is
// always 0 here: no message is longer than 4097 blocks.
void shabal_block(uint* A, uint* B, uint* C, const uint* M, uint w)
{
  for (int i = 0; i < 16; i++)
    B[i] += M[i];
  A[0] ^= w;
  shabal_perm(A, B, C, M);
  for (int i = 0; i < 16; i++) {
    uint t = C[i] - M[i];
    C[i] = B[i];
    B[i] = t;
  }
}

// Absorbs the padded last block and runs the three extra rounds with the
// same counter; the digest is then B[8] to B[15].
void shabal_last(uint* A, uint* B, uint* C, const uint* M, uint w)
{
  for (int i = 0; i < 16; i++)
    B[i] += M[i];
  A[0] ^= w;
  shabal_perm(A, B, C, M);
  for (int r = 0; r < 3; r++) {
    for (int i = 0; i < 16; i++) {
      uint t = B[i];
      B[i] = C[i];
      C[i] = t;
    }
    A[0] ^= w;
    shabal_perm(A, B, C, M);
  }
}

uint swap_bytes(uint x)
{
  return (x >> 24) | ((x >> 8) & 0xFF00u) | ((x << 8) & 0xFF0000u) | (x << 24);
}

__kernel void setup(ulong address, ulong base_nonce, __global uchar* genbuf)
{
  const size_t g = get_global_id(0);
  const size_t G = get_global_size(0);
  __global uint* area = (__global uint*)genbuf + g;
  const ulong nonce = base_nonce + g;
  // Seed bytes are big-endian numbers; area words are read little-endian.
  area[(size_t)(SEED_WORD + 0) * G] = swap_bytes((uint)(address >> 32));
  area[(size_t)(SEED_WORD + 1) * G] = swap_bytes((uint)address);
  area[(size_t)(SEED_WORD + 2) * G] = swap_bytes((uint)(nonce >> 32));
  area[(size_t)(SEED_WORD + 3) * G] = swap_bytes((uint)nonce);
}

__kernel void hash_down(ulong base_nonce, __global uchar* genbuf, uint start, uint count)
{
  (void)base_nonce;
  const size_t g = get_global_id(0);
  const size_t G = get_global_size(0);
  __global uint* area = (__global uint*)genbuf + g;
  uint rounds = count;
  if ((ulong)count * 32 > start)
    rounds = start / 32;
  uint len = min(262160u - start, MAX_MESSAGE);
  for (uint r = 0; r < rounds; r++) {
    uint A[12], B[16], C[16], M[16];
    shabal_init(A, B, C);
    __global const uint* p = area + (size_t)(start / 4) * G;
    const uint blocks = len / 64;
    for (uint b = 0; b < blocks; b++) {
      for (int i = 0; i < 16; i++)
        M[i] = p[i * G];
      p += 16 * G;
      shabal_block(A, B, C, M, b + 1);
    }
    // Every message is a whole number of 16-byte pieces: 0, 4 or 12 words
    // remain, then the padding word.
    const uint rest = (len % 64) / 4;
    for (uint i = 0; i < 16; i++)
      M[i] = i < rest ? p[i * G] : (i == rest ? 0x80u : 0u);
    shabal_last(A, B, C, M, blocks + 1);
    __global uint* out = area + (size_t)((start - 32) / 4) * G;
    for (int i = 0; i < 8; i++)
      out[i * G] = B[8 + i];
    start -= 32;
    len = min(len + 32, MAX_MESSAGE);
  }
}

// Launched over the batch's items in one or more parts (a global offset
// per part, so that one launch stays short on a large batch): the stride
// is the batch's item count, not the part's.
__kernel void final(__global uchar* genbuf, __global uchar* scoopbuf, uint items)
{
  const size_t g = get_global_id(0);
  const size_t G = items;
  __global const uint* area = (__global const uint*)genbuf + g;
  uint A[12], B[16], C[16], M[16];
  shabal_init(A, B, C);
  __global const uint* p = area;
  for (uint b = 0; b < SEED_WORD / 16; b++) {
    for (int i = 0; i < 16; i++)
      M[i] = p[i * G];
    p += 16 * G;
    shabal_block(A, B, C, M, b + 1);
  }
  for (int i = 0; i < 16; i++)
    M[i] = i < 4 ? p[i * G] : (i == 4 ? 0x80u : 0u);
  shabal_last(A, B, C, M, SEED_WORD / 16 + 1);
  uint h[8];
  for (int i = 0; i < 8; i++)
    h[i] = B[8 + i];

  // PoC2 scoop s: the first half of scoop s, the second half of scoop
  // 4095 - s, both XORed with the final digest.
  __global uint4* out = (__global uint4*)scoopbuf;
  for (uint s = 0; s < 4096; s++) {
    __global const uint* lo = area + (size_t)(16 * s) * G;
    __global const uint* hi = area + (size_t)(16 * (4095 - s) + 8) * G;
    const size_t o = ((size_t)s * G + g) * 4;
    out[o + 0] = (uint4)(lo[0] ^ h[0], lo[G] ^ h[1], lo[2 * G] ^ h[2], lo[3 * G] ^ h[3]);
    out[o + 1] = (uint4)(lo[4 * G] ^ h[4], lo[5 * G] ^ h[5], lo[6 * G] ^ h[6], lo[7 * G] ^ h[7]);
    out[o + 2] = (uint4)(hi[0] ^ h[0], hi[G] ^ h[1], hi[2 * G] ^ h[2], hi[3 * G] ^ h[3]);
    out[o + 3] = (uint4)(hi[4 * G] ^ h[4], hi[5 * G] ^ h[5], hi[6 * G] ^ h[6], hi[7 * G] ^ h[7]);
  }
}
