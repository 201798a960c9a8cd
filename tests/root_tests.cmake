# Unit tests that only root can run: they mount a tiny tmpfs in a private mount
# namespace (a full disk), or hand files to other users and switch identities
# (what a session may trust, who owns a lock). They carry the label "root"
# instead of "unit", so that `ctest -L unit` passes for any user; as root,
# `ctest -L "unit|root"` (as scripts/test.sh does) runs them all.
# A GoogleTest filter: names separated by ":".
set(tollmar_root_tests
    "MaildropTest.FullSpoolFolderFailsTheScan"
    ":MaildropTest.FullMaildropFolderKeepsEveryMessage"
    ":JournalTrustTest.PlantedJournalIsNeverReplayedAndTheScanGoesOn"
    ":JournalTrustTest.SessionOfAnOrdinaryUserTrustsOnlyItsOwnJournal"
    ":JournalTrustTest.ForeignTemporaryJournalMakesTheUpdateKeepEverything"
    ":JournalTrustTest.ForeignJournalInTheWayOfTheCommitKeepsEverything"
    ":LockTest.FreshLockHoldsOnlyThePidAndBelongsToTheGivenIds"
    ":LockTest.LiveHolderOfAnotherUserIsNeverJudgedDeadByAnAccount"
    ":retr_command.ForeignOrSpecialFilesAreRefused"
    ":PreloginJail.KillSocketOpenPtraceAndForkAreRefused"
    ":KilledSessions.*")
string(JOIN "" tollmar_root_tests ${tollmar_root_tests})
