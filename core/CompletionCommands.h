// The completion commands that bracket a print job, and the scan for the
// printer's answers to them. Shared by every transport that confirms jobs
// with these commands.
#pragma once

namespace quenvar {

constexpr unsigned int CompletionCommandLength = 6;
constexpr unsigned int CompletionAnswerLength = 8;

// Commands the host sends, 1B 1D 03 s n1 n2.
extern const unsigned char StatusPreambleCommand[CompletionCommandLength];  // 1B 1D 03 04 00 00
extern const unsigned char JobBeginCommand[CompletionCommandLength];        // 1B 1D 03 02 00 00
extern const unsigned char JobBeginPollCommand[CompletionCommandLength];    // 1B 1D 03 00 00 00
extern const unsigned char JobAcknowledgeCommand[CompletionCommandLength];  // 1B 1D 03 03 00 00
extern const unsigned char JobEndCommand[CompletionCommandLength];          // 1B 1D 03 01 01 01
extern const unsigned char JobEndPollCommand[CompletionCommandLength];      // 1B 1D 03 00 01 01

// Value c of a job begin answer that means the block has begun.
constexpr unsigned char JobBeginAnswerSuccess = 0x00;
// Value c of a job end answer that means the job is complete.
constexpr unsigned char JobEndAnswerSuccess = 0x01;

// Searches `length` bytes at `data` for the job begin answer
// 1B 1D 03 00 00 00 c 00. The 8-byte windows are tried from the last
// position backwards, so the printer's latest answer wins. Returns true and
// stores c in `*value` when one is found; false (and `*value` untouched) when
// none is, including for fewer than 8 bytes.
bool FindJobBeginAnswer(const unsigned char* data, unsigned int length, unsigned char* value);

// The same for the job end answer 1B 1D 03 k 01 01 c 00, k any value.
bool FindJobEndAnswer(const unsigned char* data, unsigned int length, unsigned char* value);

}  // namespace quenvar
