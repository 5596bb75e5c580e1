#pragma once
// The kinds of failure of the engine's runs.

// What kind of failure a run met, for callers that act on it (the text is
// for people, and nothing decides on it).
enum class EngineFailure {
    None,
    Other,
    Cancelled,        // a stop was asked for
    ChecksumsDamaged, // a checksum file is there but damaged or does not agree
    NoChecksums,      // checksums were required and the set has none
    SetNotWhole,      // a set no longer checks whole, so what depends on it was not done
    TargetExists,     // what a join writes is already there, and replacing was not asked for
    WrongPassword,    // the password does not open the encrypted set
    PieceDamaged,     // a piece is there but its bytes are not the set's
    PieceMissing,     // a piece is not there, or cannot be read
    UnsafeName,       // a name read from a set, a journal or a source would leave its folder
    NotASet,          // the folder holds no set this program can read
    NoSpace,          // the file system has no room for what the run writes
    TooLarge,         // a count or size beyond what the formats or the machine allow
    SystemError,      // the system refused to read, write or open something the run needs
};
