#include "MemoryProbe.h"

#include <fstream>
#include <sstream>

#include <QProcess>
#include <QStringList>

namespace bench {

MemoryProbe::MemoryProbe() = default;

MemoryProbe::~MemoryProbe()
{
    Stop();
}

bool MemoryProbe::Start(const std::string& hostProgram, const std::string& root,
                        const std::vector<std::string>& servers)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments{QString::fromStdString(root)};
    for (const std::string& server : servers)
        arguments << QString::fromStdString(server);
    m_process->start(QString::fromStdString(hostProgram), arguments);
    if (!m_process->waitForStarted(30000))
        return false;
    // The host prints "PORT <n>" once its service listens.
    while (m_process->waitForReadyRead(30000)) {
        while (m_process->canReadLine()) {
            const QString line = QString::fromUtf8(m_process->readLine()).trimmed();
            if (line.startsWith("PORT ")) {
                m_port = static_cast<std::uint16_t>(line.mid(5).toUInt());
                return m_port != 0;
            }
        }
    }
    return false;
}

void MemoryProbe::Stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->closeWriteChannel();
        if (!m_process->waitForFinished(60000)) {
            m_process->kill();
            m_process->waitForFinished(10000);
        }
    }
    m_process.reset();
}

std::int64_t MemoryProbe::Read(const char* field) const
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return -1;
    std::ifstream status("/proc/" + std::to_string(m_process->processId()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field, 0) == 0) {
            std::istringstream in(line.substr(std::string(field).size()));
            std::int64_t kib = -1;
            in >> kib;
            return kib < 0 ? -1 : kib * 1024;
        }
    }
    return -1;
}

} // namespace bench
