// The five script texts the agent sends to the capture application.
//
// They are sent exactly as they stand, line breaks included; "%OUTPUT%",
// "%PATH%" and "%JOB%" are replaced before sending. The capture application
// (and the stand-in that replaces it in tests) recognises them by their text,
// so a change here is a change of the channel's contract.
#pragma once

#include <string_view>

namespace vantle::agent::CaptureOneScript {

// The POSIX paths of the images behind the selected variants, one per line
// (or one path without a line break, from the primary variant), "NOTRUNNING",
// "NODOC", or "ERROR: " with the five collected error texts.
inline constexpr std::string_view selectedPaths = R"(if not (application id "com.captureone.captureone16" is running) then return "NOTRUNNING"
tell application id "com.captureone.captureone16"
    if not (exists current document) then return "NODOC"
    try
        set theVariants to (get selected variants)
        if (count of theVariants) = 0 then error "none"
        set outPaths to ""
        repeat with v in theVariants
            set outPaths to outPaths & POSIX path of (file of (parent image of v) as alias) & "
"
        end repeat
        return outPaths
    on error e1
        try
            set theVariant to primary variant of current document
            return POSIX path of (file of (parent image of theVariant) as alias)
        on error e2
            try
                set theVariant to primary variant
                return POSIX path of (file of (parent image of theVariant) as alias)
            on error e3
                try
                    set theVariants to (get variants of current document whose selected is true)
                    if (count of theVariants) = 0 then error "none"
                    set outPaths to ""
                    repeat with v in theVariants
                        set outPaths to outPaths & POSIX path of (file of (parent image of v) as alias) & "
"
                    end repeat
                    return outPaths
                on error e4
                    try
                        set theVariants to (get variants whose selected is true)
                        if (count of theVariants) = 0 then error "none"
                        set outPaths to ""
                        repeat with v in theVariants
                            set outPaths to outPaths & POSIX path of (file of (parent image of v) as alias) & "
"
                        end repeat
                        return outPaths
                    on error e5
                        return "ERROR: 1:" & e1 & " | 2:" & e2 & " | 3:" & e3 & " | 4:" & e4 & " | 5:" & e5
                    end try
                end try
            end try
        end try
    end try
end tell)";

// Prepares the "Orvane Live QuickProof" recipe writing into %OUTPUT%:
// "OK", "NOTRUNNING", "NODOC" or "ERROR: " with the application's message.
inline constexpr std::string_view prepareRecipe = R"(if not (application id "com.captureone.captureone16" is running) then return "NOTRUNNING"
tell application id "com.captureone.captureone16"
    if not (exists current document) then return "NODOC"
    tell current document
        try
            if not (exists recipe "Orvane Live QuickProof") then
                make new recipe with properties {name:"Orvane Live QuickProof"}
            end if
            tell recipe "Orvane Live QuickProof"
                set enabled to false
                set output format to JPEG_QuickProof
                set JPEG quality to 88
                -- Location before type: setting the type first reads back
                -- as "output location" and the file lands in the session.
                set root folder location to (POSIX file "%OUTPUT%")
                set root folder type to custom location
                set output sub folder to ""
                set output name format to "[Image Name]"
                set existing files to overwrite
            end tell
            return "OK"
        on error errMsg
            return "ERROR: " & errMsg
        end try
    end tell
end tell)";

// Processes the selected variants with the recipe: "JOB:" and the job's
// identifier, "ERROR: No images selected", "ERROR: " with a message,
// "NOTRUNNING" or "NODOC".
inline constexpr std::string_view processSelection = R"(if not (application id "com.captureone.captureone16" is running) then return "NOTRUNNING"
tell application id "com.captureone.captureone16"
    if not (exists current document) then return "NODOC"

    set targetVariants to {}
    try
        set targetVariants to (get selected variants)
    on error
        try
            set targetVariants to {primary variant of current document}
        on error
            try
                set targetVariants to (get variants of current document whose selected is true)
            end try
        end try
    end try
    if (count of targetVariants) is 0 then return "ERROR: No images selected"

    tell current document
        try
            set jobID to process targetVariants recipe "Orvane Live QuickProof"
            return "JOB:" & jobID
        on error errMsg
            return "ERROR: " & errMsg
        end try
    end tell
end tell)";

// Processes the image whose path is %PATH%: as processSelection, and
// "NOTFOUND" when no collection holds it.
inline constexpr std::string_view processPath = R"(if not (application id "com.captureone.captureone16" is running) then return "NOTRUNNING"
tell application id "com.captureone.captureone16"
    if not (exists current document) then return "NODOC"
    tell current document
        set targetVariants to {}
        repeat with c in collections
            try
                set found to (images of c whose path is "%PATH%")
                if (count of found) > 0 then
                    set targetVariants to {variant 1 of item 1 of found}
                    exit repeat
                end if
            end try
        end repeat
        if (count of targetVariants) is 0 then return "NOTFOUND"
        try
            set jobID to process targetVariants recipe "Orvane Live QuickProof"
            return "JOB:" & jobID
        on error errMsg
            return "ERROR: " & errMsg
        end try
    end tell
end tell)";

// "PENDING" while job %JOB% exists, "DONE" once it does not, "NOTRUNNING" or
// "NODOC".
inline constexpr std::string_view jobStatus = R"(if not (application id "com.captureone.captureone16" is running) then return "NOTRUNNING"
tell application id "com.captureone.captureone16"
    if not (exists current document) then return "NODOC"
    tell current document
        if exists (job id "%JOB%") then
            return "PENDING"
        else
            return "DONE"
        end if
    end tell
end tell)";

}  // namespace vantle::agent::CaptureOneScript
