#pragma once

#include <cstddef>
#include <string_view>

// Reads one log-in prompt ("login:", "password:") from the byte stream, whatever the reads it
// arrives in. The prompt stays exact: the bytes since the last answer or the last mismatch must
// spell it and nothing more when a read ends. A read that strays from the prompt (text before
// it, a blank after it in the same read) is dropped whole, and the next read starts afresh.
class CPromptReader {
public:
    // Forgets what was gathered; prompt must outlive the reader's use of it.
    void Expect(std::string_view prompt) {
        m_prompt = prompt;
        m_matched = 0;
    }
    // True when this read completes the prompt; what was gathered is then forgotten.
    bool Read(std::string_view bytes);

private:
    std::string_view m_prompt;
    std::size_t m_matched = 0; // bytes of the prompt seen so far; never more than its size
};
