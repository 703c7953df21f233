// Lexical search: code and query tokenizers and the BM25+ engine.
#pragma once

namespace vantrel {

// The BM25+ parameters of one engine, held in single precision.
struct Bm25Params {
  float k1 = 1.5f;
  float b = 0.75f;
  float delta = 1.0f;
};

// The native state of one BM25Engine object. Not thread-safe by itself: the module boundary's
// borrow counter admits one exclusive user or many shared users at a time.
class Bm25Engine {
 public:
  explicit Bm25Engine(Bm25Params params) noexcept : params_(params) {}
  Bm25Engine(const Bm25Engine&) = delete;
  Bm25Engine& operator=(const Bm25Engine&) = delete;

  const Bm25Params& params() const noexcept { return params_; }

 private:
  const Bm25Params params_;
};

}  // namespace vantrel
