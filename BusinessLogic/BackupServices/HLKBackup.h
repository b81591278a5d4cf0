// HLKBackup: the window's single entry point to the backup service.
//
// HLK_Reset starts the listener thread on a TCP port; the listener gives each accepted
// Quarnex connection to one worker thread at a time. HLK_Stop stops the listener and, through
// it, every worker. Progress and results reach the window only through GUIComm.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class CPeerRules;
struct HLK_Thread_Sync_t;

// Time-outs of the service. The defaults are the service's own; tests shorten them so that
// silence and stop cases finish in seconds.
struct HLKTimeouts {
    int payloadReadMs = 60000;  // each read of a payload (fillBuffer)
    int payloadSendMs = 60000;  // a send to the peer that makes no progress (the read side's 60 s)
    int commandPollMs = 1000;   // one wait for the next command word
    int maxCommandPolls = 1800; // waits without a complete command word before giving up
    int threadStopMs = 30000;   // wait for a thread to stop (listener or worker)
    int threadStartMs = 30000;  // wait for a new thread to report started or failed
    int listenerPollMs = 1000;  // the listener's select time-out
};

class HLKBackup {
public:
    // Throws CClientExc when the instance cannot be created.
    static HLKBackup* GetInstance();
    // Destroys the instance (stopping the service) and forgets it.
    static void Cleanup();

    // (Re)starts the service on port. Only ports 1025..8191 are served; any other port does
    // nothing and answers true. False when the listener did not start.
    bool HLK_Reset(int port);
    // Starts the service on a port the system picks (tests, benchmarks, the simulator's
    // self-check); GetPort tells which.
    bool HLK_ResetEphemeral();
    // Stops the listener and all workers. False when a thread did not stop in time.
    bool HLK_Stop();
    // The peer rules listeners started afterwards apply (null: none, every peer is served).
    // Their settings may change at any time and count from the next connection; only the
    // listen address needs a restart (HLK_Reset).
    void SetPeerRules(std::shared_ptr<CPeerRules> rules);
    std::shared_ptr<CPeerRules> GetPeerRules() const;
    // Port the running listener is bound to, 0 when none runs.
    int GetPort() const;

    // Time-outs used by threads started afterwards (process-wide).
    static void SetTimeouts(const HLKTimeouts& timeouts);
    static HLKTimeouts GetTimeouts();

    // Length of the accept queue of listeners started afterwards (process-wide; the
    // benchmark compares queue lengths with it). Values below 1 restore the default.
    static void SetListenBacklog(int backlog);
    static int ListenBacklog();
    // Measured with the fleet benchmark: with 4, a fleet connecting at once beyond the queue
    // had its handshakes dropped and retried after 1, 3, 7, ... s while the service sat idle
    // (a hundred servers took 11 times their work, and one gave up). With 128 every waiting
    // server has its connection and is served the moment the one before it ends.
    static constexpr int kDefaultListenBacklog = 128;

    virtual ~HLKBackup();

private:
    HLKBackup();
    HLKBackup(const HLKBackup&) = delete;
    HLKBackup& operator=(const HLKBackup&) = delete;

    bool startListener(int port);

    std::recursive_mutex m_lock; // held only while the instance is destroyed
    std::atomic<int> m_boundPort{0};
    std::shared_ptr<HLK_Thread_Sync_t> m_listener; // null while no listener exists
    std::shared_ptr<CPeerRules> m_peerRules;
    bool m_swept = false; // interrupted transfers handed to a listener (once, to the first that started)
};
