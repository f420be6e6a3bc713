#pragma once

// ---- Interrupts -------------------------------------------------------------------------------
//
// Ctrl-C, a closed terminal or console window, or a kill: at a prompt the program ends at
// once, as it always has. During long work it would leave a temporary output behind, so
// there the interrupt is only noted, and the work stops at its next check, which throws
// Interrupted: unwinding removes every temporary, and the caller says what was written and
// then ends the program as the interrupt would have.

// Thrown by check_interrupt.
struct Interrupted {};

// Catches the interrupts from now on (SIGINT, SIGTERM and SIGHUP; on Windows the console's
// control events).
void catch_interrupts();

// Long work runs while one of these lives.
class InterruptibleWork {
  public:
    InterruptibleWork();
    ~InterruptibleWork();
    InterruptibleWork(const InterruptibleWork&) = delete;
    InterruptibleWork& operator=(const InterruptibleWork&) = delete;
};

// A wait for standard input: while it lives an interrupt ends the program at once. One
// noted before it begins is thrown inside long work, and ends the program outside it.
class PromptWait {
  public:
    PromptWait();
    ~PromptWait();
    PromptWait(const PromptWait&) = delete;
    PromptWait& operator=(const PromptWait&) = delete;

  private:
    int outer_depth_;
};

// Throws Interrupted when an interrupt has been noted. One atomic load: cheap enough for
// every block of work.
void check_interrupt();

// Whether an interrupt has been noted.
bool interrupt_noted();

// What the handlers share: notes interrupt `code` and returns true where work is running;
// false at a prompt, where the handler must end the program at once.
bool note_interrupt(int code);

// Forgets a noted interrupt, so that tests can note another.
void forget_interrupt();

// Ends the program as the noted interrupt would have ended it.
[[noreturn]] void end_as_interrupted();
