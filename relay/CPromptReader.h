#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Reads one log-in prompt ("login:", "password:") from the byte stream, whatever the reads it
// arrives in. The server waits for the answer after its prompt, so the prompt is what the
// stream ends with when a read ends: text before it, or a start of it sent twice, does not
// matter; anything after it in the same read (a blank, CR LF) does.
class CPromptReader {
public:
    // Forgets what was gathered; prompt must outlive the reader's use of it.
    void Expect(std::string_view prompt) {
        m_prompt = prompt;
        m_tail.clear();
    }
    // True when the stream ends with the prompt after this read; what was gathered is then
    // forgotten.
    bool Read(std::string_view bytes);

private:
    std::string_view m_prompt;
    std::string m_tail; // the stream's last bytes; never longer than the prompt
};
