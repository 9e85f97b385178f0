#include "CPromptReader.h"

bool CPromptReader::Read(std::string_view bytes) {
    if (bytes.empty() || m_prompt.empty())
        return false;
    const std::size_t keep = m_prompt.size();
    if (bytes.size() >= keep) {
        m_tail.assign(bytes.substr(bytes.size() - keep));
    } else {
        m_tail.append(bytes);
        if (m_tail.size() > keep)
            m_tail.erase(0, m_tail.size() - keep);
    }
    if (m_tail != m_prompt)
        return false;
    m_tail.clear();
    return true;
}
