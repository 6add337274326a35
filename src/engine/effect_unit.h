// What an effect unit needs to join the registry: the field wrapper for values that cross threads,
// and the adapter that turns a T..._form class into the three entry points.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>

#include "effects.h"

namespace vx {

// A field that a handler writes on the user-interface thread while the processing reads it on the
// audio thread. Reads and writes look like plain ones; each is one relaxed atomic access.
template <class T>
class relaxed {
public:
    relaxed(T v = T{}) : v_(v) {}
    relaxed(const relaxed&) = delete;
    relaxed& operator=(const relaxed&) = delete;
    operator T() const { return v_.load(std::memory_order_relaxed); }
    relaxed& operator=(T v) {
        v_.store(v, std::memory_order_relaxed);
        return *this;
    }
    T load() const { return v_.load(std::memory_order_relaxed); }

private:
    std::atomic<T> v_;
};

// ParameterBlock words.
inline int32_t float_word(float f) { return std::bit_cast<int32_t>(f); }
inline float word_float(int32_t w) { return std::bit_cast<float>(w); }
// A boolean word writes and reads its lowest byte only.
inline void put_bool_byte(int32_t& word, bool b) {
    word = static_cast<int32_t>((static_cast<uint32_t>(word) & 0xFFFFFF00u) | (b ? 1u : 0u));
}
inline bool bool_byte(int32_t word) { return (static_cast<uint32_t>(word) & 0xFFu) != 0; }

// A new instance of kind T with the settings of `from`, as a chain file would restore them. Pictures
// of an effect are computed with one on the user-interface thread, so that the instance the audio
// thread runs keeps its memories.
template <class T>
std::unique_ptr<T> private_copy(T& from) {
    auto copy = std::make_unique<T>();
    copy->create_defaults();
    ParameterBlock block{};
    from.get_parameters(block.data());
    copy->put_parameters(block.data());
    return copy;
}

// The three entry points of a kind, made from its class T:
//   T()               creates the editor window; the constructor ends by running FormCreate
//   create_defaults() further processing defaults set after the window exists
//   (T::*Process)(frameCount, sampleRate, channelCount, buffer)
//   get_parameters(int32_t*), put_parameters(const int32_t*)
template <class T, void (T::*Process)(int32_t, int32_t, int32_t, float*)>
struct KindAdapter {
    static int32_t process(int32_t frameCount, int32_t sampleRate, int32_t channelCount, float* buffer,
                           EffectInstance instance) {
        (static_cast<T*>(instance->form)->*Process)(frameCount, sampleRate, channelCount, buffer);
        return 0;
    }
    static EffectInstance create() {
        auto* cell = new EffectCell;
        auto* object = new T();
        cell->form = object;
        object->create_defaults();
        return cell;
    }
    static void params(int32_t* block, EffectInstance instance, int32_t direction) {
        if (instance == nullptr || instance->form == nullptr) return;
        T* object = static_cast<T*>(instance->form);
        if (direction == 0)
            object->get_parameters(block);
        else
            object->put_parameters(block);
    }
    static KindEntry entry() { return KindEntry{&process, &create, &params}; }
};

}  // namespace vx

// Fills registry row KIND with the entry points of CLASS, whose process method is METHOD. Use it
// inside namespace vx, in the unit's .cpp.
// The effect targets are object libraries, so this runs in every program that links them.
#define VX_REGISTER_KIND(KIND, CLASS, METHOD)                                                  \
    namespace {                                                                                \
    const bool vx_registered_##CLASS =                                                         \
        register_kind((KIND), KindAdapter<CLASS, &CLASS::METHOD>::entry());           \
    }
