#include "core/CompletionCommands.h"

namespace quenvar {

const unsigned char StatusPreambleCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x04, 0x00, 0x00};
const unsigned char JobBeginCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x02, 0x00, 0x00};
const unsigned char JobBeginPollCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00};
const unsigned char JobAcknowledgeCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x03, 0x00, 0x00};
const unsigned char JobEndCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01};
const unsigned char JobEndPollCommand[CompletionCommandLength] = {0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01};

namespace {

// An answer is the poll's six bytes (byte 3 free for the job end), c, then 00.
bool findAnswer(const unsigned char* data, unsigned int length, bool compareByte3,
                const unsigned char (&expected)[CompletionCommandLength], unsigned char* value) {
    if (data == nullptr || length < CompletionAnswerLength) return false;
    for (unsigned int n = length - CompletionAnswerLength + 1; n-- > 0;) {
        const unsigned char* w = data + n;
        bool match = w[7] == 0x00;
        for (unsigned int i = 0; match && i < CompletionCommandLength; ++i) {
            if (i == 3 && !compareByte3) continue;
            match = w[i] == expected[i];
        }
        if (match) {
            *value = w[6];
            return true;
        }
    }
    return false;
}

}  // namespace

bool FindJobBeginAnswer(const unsigned char* data, unsigned int length, unsigned char* value) {
    return findAnswer(data, length, true, JobBeginPollCommand, value);
}

bool FindJobEndAnswer(const unsigned char* data, unsigned int length, unsigned char* value) {
    return findAnswer(data, length, false, JobEndPollCommand, value);
}

}  // namespace quenvar
