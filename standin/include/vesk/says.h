/* What the stand-in says on standard error that a reader, or a test, looks for. Each line
 * starts with "Vesk_Device: "; the parts marked so are followed by more. */
#ifndef VESK_SAYS_H
#define VESK_SAYS_H

#define VESK_SAYS_LOADED "Vesk_Device: stand-in library, no real device"
#define VESK_SAYS_NO_OUTPUT "no data output: cannot publish on " /* ENDPOINT ": " why */
#define VESK_SAYS_PATH_TAKEN "something is there already, and it is left alone"
#define VESK_SAYS_NO_IPC "ipc:// is not offered on Windows"
#define VESK_SAYS_DROPPED_SUBSCRIBERS "every subscriber dropped: more subscriptions than " /* N " at once" */
#define VESK_SAYS_FOLDER_NOT_SAFE "another user could replace the folder " /* folder */
#define VESK_SAYS_SYMLINK "is a symbolic link, which is not followed"
#define VESK_SAYS_BAD_PORT "the port is not one from 1 to 65535, nor *"
#define VESK_SAYS_FEW_DESCRIPTORS "too few file descriptors are left"
#define VESK_SAYS_NO_THREAD "no thread can be made: " /* why */
#define VESK_SAYS_FIFO "is a FIFO that nobody reads"
#define VESK_SAYS_NO_TRACE "no call trace: " /* path " " VESK_SAYS_FIFO or VESK_SAYS_SYMLINK */
#define VESK_SAYS_MOVED_ON " s behind its schedule and moved its schedule on" /* after "the device fell N" */
#define VESK_SAYS_BOUND "publishing on " /* the endpoint bound, when the one asked for had a wildcard */
#define VESK_SAYS_DROPPED " dropped: " /* after "N lines", then what would not take them */
#define VESK_SAYS_LOST "Z lost " /* the lost-packet log's line: UTC time, this, first[..last] */
#define VESK_SAYS_NOT_WRITTEN "could not be written: " /* after "N lines ", the error */
#define VESK_SAYS_OWN_LINES "lines of its own" /* what its own standard error lost */
#define VESK_SAYS_LOG_LINES "lost-packet log lines" /* what a lost-packet log lost */

#endif
