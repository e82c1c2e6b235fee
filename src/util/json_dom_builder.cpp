#include "quelmar/util/json_dom_builder.hpp"

#include <utility>

namespace quelmar::util {

bool JsonDomBuilder::key(string_t& k) {
  if (skipped_ == 0) key_ = std::move(k);
  return true;
}

const std::string* JsonDomBuilder::key_of_next() const {
  if (levels_.empty() || levels_.back().stream || !levels_.back().value->is_object()) {
    return nullptr;
  }
  return &key_;
}

JsonDomBuilder::json* JsonDomBuilder::place(json&& v) {
  if (levels_.empty()) {
    document_ = std::move(v);
    return &document_;
  }
  if (levels_.back().stream) {
    element_ = std::move(v);
    return &element_;
  }
  json& parent = *levels_.back().value;
  if (parent.is_array()) {
    parent.push_back(std::move(v));
    return &parent.back();
  }
  json& slot = parent[key_];
  slot = std::move(v);
  return &slot;
}

bool JsonDomBuilder::value(json&& v) {
  if (skipped_ > 0) return true;
  switch (route(levels_.size(), key_of_next(), v.type())) {
    case Route::kStop:
      return false;
    case Route::kDrop:
      return true;
    case Route::kKeep:
    case Route::kStream:
      break;
  }
  const bool element = in_stream();
  place(std::move(v));
  if (element) take(std::move(element_));
  return true;
}

bool JsonDomBuilder::open(json&& container) {
  if (skipped_ > 0) {
    ++skipped_;
    return true;
  }
  if (levels_.size() >= max_depth_) {
    too_deep_ = true;
    return false;
  }
  switch (route(levels_.size(), key_of_next(), container.type())) {
    case Route::kStop:
      return false;
    case Route::kDrop:
      skipped_ = 1;
      return true;
    case Route::kStream:
      if (container.is_array() && !streaming_) {
        streaming_ = true;
        levels_.push_back({nullptr, true});
        return true;
      }
      break;
    case Route::kKeep:
      break;
  }
  levels_.push_back({place(std::move(container)), false});
  return true;
}

bool JsonDomBuilder::close() {
  if (skipped_ > 0) {
    --skipped_;
    return true;
  }
  const bool ended_stream = levels_.back().stream;
  levels_.pop_back();
  if (ended_stream) {
    streaming_ = false;
  } else if (in_stream()) {
    take(std::move(element_));
  }
  return true;
}

}  // namespace quelmar::util
