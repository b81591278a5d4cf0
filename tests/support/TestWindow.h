// The one recording window of the tests: what the service and the work queue post to the main
// window, decoded into notes a test can wait for and inspect.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "GUIComm.h"

// One received notification, decoded from its payload block.
struct Note {
    unsigned message = 0;
    intptr_t value = 0;      // lParam of blockless messages
    std::string text;        // first string of the block
    std::string text2;       // second string
    bool textNull = false;   // first string pointer was null
    std::int64_t number = 0; // MB, needed MB
    std::int64_t number2 = 0;
    std::uint32_t words[3] = {0, 0, 0}; // prompt block
    bool success = false;
};

// The receiving end of GUIComm: decodes, frees the block as the main window's handler does,
// and keeps the notes. Refuses the first `refusals` posts to exercise the retry. With
// AnswerPrompts, it answers every restore prompt as the window thread would once the user
// clicked (GUIComm posts the prompt outside its lock, so the answer can be given right here).
class TestWindow : public IGUIWindow {
public:
    bool Post(unsigned message, intptr_t lParam) override
    {
        if (!Record(message, lParam))
            return false;
        const Answer answer = m_answer.load();
        if (message == CM_HLKPromptForRestore && answer != Answer::None) {
            GUIComm* gui = GUIComm::Instance();
            EXPECT_NE(gui, nullptr);
            if (gui) {
                EXPECT_TRUE(gui->RespondToRestorePrompt(answer == Answer::Accept));
            }
        }
        return true;
    }

    // Answer every restore prompt from now on: accept or reject.
    void AnswerPrompts(bool accept) { m_answer = accept ? Answer::Accept : Answer::Reject; }

private:
    enum class Answer { None, Accept, Reject };

    bool Record(unsigned message, intptr_t lParam)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_refusals > 0) {
                --m_refusals;
                ++m_refused;
                return false;
            }
        }
        Note n;
        n.message = message;
        switch (message) {
        case CM_HLKBackupStarted: {
            auto* b = reinterpret_cast<HLKBackupStartedMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKRestoreStarted: {
            auto* b = reinterpret_cast<HLKRestoreStartedMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKBackupTransferDone:
        case CM_HLKSaveBackupDone:
        case CM_HLKRestoreDone: n.success = reinterpret_cast<HLKResultMsg*>(lParam)->success != 0; break;
        case CM_HLKInsufficientDiskSpace: {
            auto* b = reinterpret_cast<HLKInsufficientDiskSpaceMsg*>(lParam);
            n.text = Str(b->serverId, n.textNull);
            n.number = b->neededMB;
            n.number2 = b->availableMB;
            break;
        }
        case CM_HLKPromptForRestore: {
            auto* b = reinterpret_cast<HLKPromptForRestoreMsg*>(lParam);
            n.words[0] = b->requestSerial;
            n.words[1] = b->backupSerial;
            n.words[2] = b->backupDate;
            break;
        }
        case CM_HLKExportStarted: {
            auto* b = reinterpret_cast<HLKExportStartedMsg*>(lParam);
            n.text = Str(b->description, n.textNull);
            bool null2 = false;
            n.text2 = Str(b->destination, null2);
            n.number = b->sizeMB;
            break;
        }
        case CM_HLKExportDone: {
            auto* b = reinterpret_cast<HLKExportDoneMsg*>(lParam);
            n.success = b->success != 0;
            n.text = Str(b->description, n.textNull);
            bool null2 = false;
            n.text2 = Str(b->destination, null2);
            break;
        }
        case CM_HLKImportStarted:
            n.text = Str(reinterpret_cast<HLKImportStartedMsg*>(lParam)->path, n.textNull);
            break;
        case CM_HLKImportDone: {
            auto* b = reinterpret_cast<HLKImportDoneMsg*>(lParam);
            n.success = b->success != 0;
            n.text = Str(b->path, n.textNull);
            break;
        }
        case CM_HLKBackupInitiated:
        case CM_HLKBackupNotSaved:
            n.text = Str(reinterpret_cast<HLKBackupInitiatedMsg*>(lParam)->serverId, n.textNull);
            break;
        default: n.value = lParam; break;
        }
        GUIComm::FreePayload(message, lParam);
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.push_back(n);
        m_changed.notify_all();
        return true;
    }

public:
    void Refuse(int count)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_refusals = count;
    }
    int Refused()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_refused;
    }

    std::vector<Note> Notes()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_notes;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.clear();
    }

    // Waits (up to a generous limit, so a hang fails instead of blocking the suite) until a
    // note satisfies pred; returns whether one did.
    bool WaitFor(const std::function<bool(const Note&)>& pred, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const Note& n : m_notes)
                if (pred(n))
                    return true;
            return false;
        });
    }
    bool WaitForMessage(unsigned message, int timeoutMs = 20000)
    {
        return WaitFor([message](const Note& n) { return n.message == message; }, timeoutMs);
    }
    bool WaitForError(int code, int timeoutMs = 20000)
    {
        return WaitFor([code](const Note& n) { return n.message == CM_HLKError && n.value == code; },
                       timeoutMs);
    }

    // Notes without progress reports.
    std::vector<Note> WithoutProgress()
    {
        std::vector<Note> out;
        for (const Note& n : Notes())
            if (n.message != CM_HLKProgress)
                out.push_back(n);
        return out;
    }
    // The same as message numbers.
    std::vector<unsigned> Sequence()
    {
        std::vector<unsigned> out;
        for (const Note& n : WithoutProgress())
            out.push_back(n.message);
        return out;
    }
    // The percentages of the progress reports, in order.
    std::vector<int> Progress()
    {
        std::vector<int> out;
        for (const Note& n : Notes())
            if (n.message == CM_HLKProgress)
                out.push_back(static_cast<int>(n.value));
        return out;
    }
    std::vector<int> Errors()
    {
        std::vector<int> out;
        for (const Note& n : Notes())
            if (n.message == CM_HLKError)
                out.push_back(static_cast<int>(n.value));
        return out;
    }

private:
    static std::string Str(const char* s, bool& isNull)
    {
        isNull = s == nullptr;
        return s ? std::string(s) : std::string();
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Note> m_notes;
    std::atomic<Answer> m_answer{Answer::None};
    int m_refusals = 0;
    int m_refused = 0;
};
