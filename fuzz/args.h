// Argument vectors made from fuzz input: the bytes split at every zero byte
// into at most kMaxArguments texts, after the program name.
#ifndef KESTRUM_FUZZ_ARGS_H
#define KESTRUM_FUZZ_ARGS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzharness {

class ArgumentVector {
public:
    static constexpr size_t kMaxArguments = 24;

    ArgumentVector(const char *program, const uint8_t *data, size_t size) {
        std::vector<std::string> texts{program};
        std::string current;
        for (size_t i = 0; i < size && texts.size() <= kMaxArguments; ++i) {
            if (data[i] == 0) {
                texts.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(data[i]));
            }
        }
        if (texts.size() <= kMaxArguments && (!current.empty() || size == 0 || data[size - 1] != 0))
            texts.push_back(current);
        // One block holds every text, so that a pointer handed back by the
        // parser can be checked to point into it.
        for (const std::string &t : texts) {
            offsets_.push_back(storage_.size());
            storage_.insert(storage_.end(), t.begin(), t.end());
            storage_.push_back('\0');
        }
        for (size_t offset : offsets_)
            original_.push_back(storage_.data() + offset);
        argv_ = original_;
        argv_.push_back(nullptr);
        argc_ = static_cast<int>(original_.size());
    }

    int *argcP() { return &argc_; }
    int argc() const { return argc_; }
    char **argv() { return argv_.data(); }

    // Whether p points into one of the texts (at any character of it, or
    // at its terminating zero).
    bool pointsIntoTexts(const char *p) const {
        return p >= storage_.data() && p < storage_.data() + storage_.size();
    }

    // Whether argv now holds, after the program name, a subsequence of the
    // original texts in their order, ended by a null.
    bool isRemainderOfOriginal() const {
        if (argc_ < 1 || argc_ > static_cast<int>(original_.size()) || argv_[argc_] != nullptr)
            return false;
        size_t next = 1;
        for (int i = 1; i < argc_; ++i) {
            while (next < original_.size() && original_[next] != argv_[i])
                ++next;
            if (next == original_.size())
                return false;
            ++next;
        }
        return true;
    }

private:
    std::vector<char> storage_;
    std::vector<size_t> offsets_;
    std::vector<char *> original_;
    std::vector<char *> argv_;
    int argc_ = 0;
};

}  // namespace fuzzharness

#endif
