// DemoBuilderBackend: the smallest complete builder. Keeps every vector in
// memory and writes them unchanged; stores no ids (a hit's id is its position).
#pragma once

#include <vector>

#include "api/builder/BuilderBackend.h"

namespace orvane::index {

class DemoBuilderBackend : public api::BuilderBackend {
  public:
    explicit DemoBuilderBackend(uint32_t dimension) : _dimension(dimension) {}

    core::Status Pretrain(const float* data, uint64_t n) override;
    core::Status Reserve(uint64_t n) override;
    core::Status AppendBatch(std::span<const float> vectors,
                             std::span<const uint64_t> ids) override;
    core::Status Dump(io::OutputStream& stream) const override;
    core::Status Attach(api::IBuildExtension& extension) override;

  private:
    uint32_t _dimension;
    // Every appended vector, one after another: one flat array, so a row costs its
    // floats and nothing more (a vector per row costs three pointers and a heap block).
    std::vector<float> _embeddings;
    uint64_t Count() const { return _dimension == 0 ? 0 : _embeddings.size() / _dimension; }
};

}  // namespace orvane::index
