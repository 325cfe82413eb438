#pragma once
// Labelled screen text for the name search, shared by its test and its benchmark.
#include <string>
#include <vector>

using Names = std::vector<std::string>;

// Screen-like text as it shows up in mail, chat, documents and the furniture around them,
// with the personal names a careful reader would mark.
struct Labelled {
    const char* text;
    Names names;
};

inline const Labelled corpus[] = {
    // Mail
    {"Hi Sarah, could you send me the Q3 figures before Friday? Thanks, Tom", {"Sarah", "Tom"}},
    {"From: Daniel Okafor <d.okafor@example.com>\nTo: Priya Raman\nSubject: Budget review",
     {"Daniel Okafor", "Priya Raman"}},
    {"Dear Mr. Whitfield, thank you for your application to Northwind Traders Inc.", {"Whitfield"}},
    {"Please loop in Maria Gonzalez and Kevin O'Brien on the contract.",
     {"Maria Gonzalez", "Kevin O'Brien"}},
    {"Meeting moved to Tuesday at 3 PM in the Lisbon office.", {}},
    {"Reminder: the offsite in Denver starts on Monday, March 4.", {}},
    {"Regards,\nElena Petrova\nSenior Product Manager", {"Elena Petrova"}},
    {"Forwarded message from Jonathan Miller: the invoice from Acme Corp is overdue.",
     {"Jonathan Miller"}},
    {"Re: Lunch with Grace on Thursday?", {"Grace"}},
    {"Can you ask Dr. Patel whether the results came back?", {"Patel"}},
    {"Sent from my iPhone", {}},
    {"Your order from Amazon has shipped and will arrive Wednesday.", {}},
    {"Unsubscribe | Privacy Policy | Contact Us", {}},
    {"Thanks again, Hannah. I'll share the deck with Marcus tomorrow.", {"Hannah", "Marcus"}},
    {"Welcome to Chase Online Banking. Your statement is ready.", {}},
    // Chat
    {"Alex: are we still on for the demo?\nJordan: yes, 2pm", {"Alex", "Jordan"}},
    {"lol Ben just pushed to main again", {"Ben"}},
    {"Sophie is typing…", {"Sophie"}},
    {"@Liam can you review my PR when you get a sec?", {"Liam"}},
    {"Mohammed reacted with 👍 to your message", {"Mohammed"}},
    {"ok will do", {}},
    {"Happy birthday Chloe!! 🎉", {"Chloe"}},
    {"Did Rachel and Chris get the invite for the Berlin trip?", {"Rachel", "Chris"}},
    {"New messages in #general: 4 unread", {}},
    {"Aisha Bello joined the channel. Say hi to Aisha!", {"Aisha Bello", "Aisha"}},
    {"brb grabbing coffee", {}},
    {"Ping Noah about the staging outage, Paris servers are down again", {"Noah"}},
    {"Great work everyone! Special thanks to Lucas and Emma Stone.", {"Lucas", "Emma Stone"}},
    {"You and Olivia are now connected", {"Olivia"}},
    {"Call with Hiroshi Tanaka at 9:30", {"Hiroshi Tanaka"}},
    // Documents
    {"Minutes recorded by Catherine Wells. Attendees: Peter Lindqvist, Fatima Zahra, and "
     "Robert De Niro.",
     {"Catherine Wells", "Peter Lindqvist", "Fatima Zahra", "Robert De Niro"}},
    {"The report was prepared by J. R. Hartley for the Board of Directors.", {"J. R. Hartley"}},
    {"Chapter 3: The Rise of New York City", {}},
    {"Ludwig van Beethoven composed nine symphonies.", {"Ludwig van Beethoven"}},
    {"According to Smith (2019), retention improved by 12%.", {"Smith"}},
    {"Action items: Laura to update the roadmap; Samuel to book the venue.", {"Laura", "Samuel"}},
    {"Table 2 shows revenue for North America, Europe and Asia Pacific.", {}},
    {"Approved by: Michael Chen, Head of Finance", {"Michael Chen"}},
    {"Jean-Luc Picard signed off on the proposal in April.", {"Jean-Luc Picard"}},
    {"This Agreement is entered into by Globex Corporation and Initech LLC.", {}},
    {"Martin Luther King Jr. Day is a federal holiday in January.", {"Martin Luther King"}},
    {"Interview notes — candidate: Isabella Rossi. Recommended by Giovanni.",
     {"Isabella Rossi", "Giovanni"}},
    {"The Johnson & Johnson account is handled by Nadia.", {"Nadia"}},
    {"Introduction\nBackground\nMethods\nResults\nDiscussion", {}},
    {"Draft prepared for Wilson, to be reviewed by the legal team.", {"Wilson"}},
    // User-interface strings
    {"File Edit View Insert Format Tools Extensions Help", {}},
    {"Save Cancel Don't Save", {}},
    {"Mark as Read  Archive  Delete  Move to Inbox", {}},
    {"Sign in with Google", {}},
    {"Share with Emily Watson (emily.watson@example.com)", {"Emily Watson"}},
    {"Last edited by Victor Hugo 5 minutes ago", {"Victor Hugo"}},
    {"Recent: Q4 Planning.xlsx, Budget 2024.docx, Holiday Photos", {}},
    {"Settings > Privacy & Security > Location Services", {}},
    {"Reply All   Forward   Print", {}},
    {"Open Recent  Close Window  Page Setup", {}},
    {"Victoria Station to Brighton: next train 14:05", {}},
    {"Now playing: Summer Nights — Autumn Hill Band", {}},
    {"Shared by Will Thompson · 2 comments", {"Will Thompson"}},
    {"Assignee: Amara Nwosu  Reporter: Luis Fernández", {"Amara Nwosu", "Luis Fernández"}},
    {"Welcome back, Daniel! You have 3 new notifications.", {"Daniel"}},
    {"May 2024 Sales Dashboard – San Francisco Region", {}},
    {"Edit profile · Followers · Following", {}},
    {"Invite people to Zephyr Workspace", {}},
    {"Grace period ends on June 30", {}},
    {"Reviewed by Frank and Hope at the Sydney office.", {"Frank", "Hope"}},
    {"Ticket #4521 assigned to Dmitri Volkov", {"Dmitri Volkov"}},
    {"Payment to Jessica Taylor for $120.00 completed", {"Jessica Taylor"}},
    {"Out of office until Monday. For urgent matters contact Zoe Adams.", {"Zoe Adams"}},
};

// Written after the rules above were settled and never tuned against: the bar in the test is
// set from how the tagger does on text it was not shaped on.
inline const Labelled heldOut[] = {
    {"Hey Marco, the designs from Ingrid look great.", {"Marco", "Ingrid"}},
    {"Invoice #883 — Billing contact: Teresa Blanco", {"Teresa Blanco"}},
    {"Your flight to Madrid departs at 07:45 from Gate B12.", {}},
    {"Nathan left a comment on Roadmap 2025", {"Nathan"}},
    {"Thanks Kwame! I'll forward it to Svetlana Ivanova.", {"Kwame", "Svetlana Ivanova"}},
    {"Quarterly Business Review with Northwind and Contoso", {}},
    {"Winter Sale ends Sunday — up to 40% off", {}},
    {"Meeting notes: Yuki and Benjamin agreed to ship on the 14th.", {"Yuki", "Benjamin"}},
    {"Downloads  Documents  Desktop  Pictures", {}},
    {"Prof. Adebayo will chair the session in Room 204.", {"Adebayo"}},
    {"Lena Fischer, Tobias Wagner and Ahmed Hassan are attending.",
     {"Lena Fischer", "Tobias Wagner", "Ahmed Hassan"}},
    {"Click Continue to accept the Terms of Service.", {}},
    {"Maybe ask Dave? He knows the Oracle setup.", {"Dave"}},
    {"Posted in Engineering by Carlos Mendoza", {"Carlos Mendoza"}},
    {"Weather: Light Rain, London 12°C", {}},
    {"Happy Friday! Don't forget the Halloween party at Grand Hotel.", {}},
    {"Gabriel's laptop was returned to IT on Tuesday.", {"Gabriel"}},
    {"Candidate shortlist: Mei Lin, Oskar Nowak, Ravi Shankar",
     {"Mei Lin", "Oskar Nowak", "Ravi Shankar"}},
    {"Spotify Premium renewal failed. Update your payment method.", {}},
    {"Sincerely,\nMargaret Thornton\nHuman Resources", {"Margaret Thornton"}},
};

// Added with the first users' misses: names in lower-case chat, in headings of capitals, given
// names that are also places, particles after a title; and the false hits beside them, a maker
// opening a sentence and title-cased words of a song.
inline const Labelled screenSnippets[] = {
    {"me and dave are heading to sam's place", {"dave", "sam"}},
    {"lol kevin forgot his charger again", {"kevin"}},
    {"grabbing lunch with anna and lucas, want anything?", {"anna", "lucas"}},
    {"can you ask priya if the build is green", {"priya"}},
    {"ok sending it to maria tonight", {"maria"}},
    {"ask mark about the budget before the call", {"mark"}},
    {"heading home now, see you tomorrow", {}},
    {"the deploy is done, checking the logs now", {}},
    {"omg the new update broke everything lol", {}},
    {"JOHN DOE — SENIOR ACCOUNTANT", {"JOHN DOE"}},
    {"PRESENTED BY SARAH CONNOR", {"SARAH CONNOR"}},
    {"EMILY CHEN\nPRODUCT DESIGNER", {"EMILY CHEN"}},
    {"MEETING AGENDA FOR MONDAY", {}},
    {"WARNING: DO NOT TURN OFF YOUR COMPUTER", {}},
    {"NEW YORK OFFICE — QUARTERLY REPORT", {}},
    {"TERMS AND CONDITIONS APPLY", {}},
    {"Jordan said the release slips to next week.", {"Jordan"}},
    {"Sofia and Marco will present the results.", {"Sofia", "Marco"}},
    {"Sofia Andersson joined the team in Stockholm.", {"Sofia Andersson"}},
    {"Our office in Sofia opens on Monday.", {}},
    {"Flights from Jordan to Cairo are delayed.", {}},
    {"Thanks, Florence! The slides look great.", {"Florence"}},
    {"Ask Victoria whether the contract is signed.", {"Victoria"}},
    {"Dear Ms. van der Berg, thank you for your order.", {"van der Berg"}},
    {"Dr. de la Cruz will see you at 10:00.", {"de la Cruz"}},
    {"Letter to Mr. O'Neill from Mrs. Okonkwo", {"O'Neill", "Okonkwo"}},
    {"Mercedes announced a new electric model today.", {}},
    {"Mercedes Ruiz approved the invoice.", {"Mercedes Ruiz"}},
    {"Will you be there by six?", {}},
    {"Now playing: Where Will You Go Tonight", {}},
    {"Tesla shares rose after the announcement.", {}},
    {"Ford recalled 2,000 trucks on Friday.", {}},
};
