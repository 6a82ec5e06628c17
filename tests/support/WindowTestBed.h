#pragma once
// What a window test needs before each test function: a throw-away installation (program
// folder, database, the data module opened on it, settings file and preview cache of its own)
// and the scripted Prompter that answers every question a window asks, so no test waits for a
// person. A test class derives from it, opens the bed in init() and closes it in cleanup(), so
// that every test function starts on a fresh installation.

#include "support/ScriptedPrompter.h"
#include "support/TestInstall.h"

#include <memory>

class WindowTestBed {
protected:
    void openBed()
    {
        m_install = std::make_unique<TestInstall>();
        m_prompter = std::make_unique<ScriptedPrompter>();
    }
    // The Prompter goes first: nothing asked while the installation is removed reaches a person.
    void closeBed()
    {
        m_prompter.reset();
        m_install.reset();
    }

    std::unique_ptr<TestInstall> m_install;
    std::unique_ptr<ScriptedPrompter> m_prompter;
};
