// libplover's library unit. The stages live in frontend/config and
// frontend/stage and are folded into this shared library whole; the exported
// entry points are the w6ad1_*, w6ad2_*, w6ad3_* families (frontend/plover.map).
