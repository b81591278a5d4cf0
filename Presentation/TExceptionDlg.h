#pragma once
// Shows an exception caught by a window handler, and writes it to the debug
// log. One instance for the program's lifetime, reused for every report.

#include <QDialog>

#include "CClientExc.h"
#include "SmartPtr.h"

#include <exception>
#include <string>

namespace Ui {
class TExceptionDlg;
}

class TExceptionDlg : public QDialog {
    Q_OBJECT

public:
    explicit TExceptionDlg(QWidget* owner = nullptr);
    ~TExceptionDlg() override;

    // The program's instance, created on first use when start-up made none.
    static TExceptionDlg* GetInstance();
    static void Release();

    // Fills the dialog (a null exception shows the last one again), logs the
    // context and the cause, and shows it modally.
    void ShowExceptionDlg(const char* context, const CClientExc* exc);

    // Runs a window handler and reports what it throws: the program's own
    // exception unchanged, a library exception as "Internal Error: <what>",
    // anything else as "Unknown Internal Error: ".
    template <class F>
    static void Guard(const char* context, const char* file, int line, F&& handler)
    {
        try {
            handler();
        } catch (const CClientExc& e) {
            GetInstance()->ShowExceptionDlg(context, &e);
        } catch (const std::exception& e) {
            const std::string text = std::string("Internal Error: ") + e.what();
            CClientExc wrapped(text.c_str(), 1234, file, line);
            GetInstance()->ShowExceptionDlg(context, &wrapped);
        } catch (...) {
            CClientExc wrapped("Unknown Internal Error: ", 1234, file, line);
            GetInstance()->ShowExceptionDlg(context, &wrapped);
        }
    }

private:
    Ui::TExceptionDlg* ui;
    SmartPtr<CClientExc> m_lastExc;

    static TExceptionDlg* s_instance;
};
