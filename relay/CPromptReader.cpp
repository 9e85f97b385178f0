#include "CPromptReader.h"

bool CPromptReader::Read(std::string_view bytes) {
    if (bytes.empty() || m_prompt.empty())
        return false;
    if (bytes.size() > m_prompt.size() - m_matched ||
        m_prompt.substr(m_matched, bytes.size()) != bytes) {
        m_matched = 0;
        return false;
    }
    m_matched += bytes.size();
    if (m_matched < m_prompt.size())
        return false;
    m_matched = 0;
    return true;
}
