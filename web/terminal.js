// A terminal for a program's output, as much of one as a program that only writes text
// needs: 80 columns, tab stops every eight, a line feed moves down a row, a carriage return
// goes back to the row's start (what follows overwrites), and a row that is full goes on
// on the next. Each row is a line of text in the page, so a screen reader reads it (the
// element is a log: new rows are announced), a search finds it, and it can be copied.
const TAB = 9;
const LINE_FEED = 10;
const CARRIAGE_RETURN = 13;
const TAB_WIDTH = 8;

export class Terminal {
  constructor(element, columns = 80) {
    this.element = element;
    this.columns = columns;
    this.reset();
  }

  reset() {
    this.rows = [[]];
    this.row = 0;
    this.column = 0;
    this.element.replaceChildren(document.createElement('div'));
  }

  // Takes bytes as a terminal does, one character each, and shows the rows they changed.
  write(bytes) {
    const first_row = this.row;
    for (const byte of bytes) {
      this.put(byte);
    }
    for (let row = first_row; row <= this.row; row++) {
      this.show(row);
    }
  }

  put(byte) {
    if (byte === CARRIAGE_RETURN) {
      this.column = 0;
    } else if (byte === LINE_FEED) {
      this.next_row();
    } else if (byte === TAB) {
      this.column = Math.min(this.columns - 1, (Math.floor(this.column / TAB_WIDTH) + 1) * TAB_WIDTH);
    } else {
      if (this.column === this.columns) {
        this.next_row();
        this.column = 0;
      }
      this.rows[this.row][this.column] = String.fromCharCode(byte);
      this.column += 1;
    }
  }

  next_row() {
    this.row += 1;
    this.rows[this.row] ??= [];
  }

  show(row) {
    const element = this.element.children[row] ??
      this.element.appendChild(document.createElement('div'));
    // Cells that a tab or a carriage return passed over are blank.
    const text = Array.from(this.rows[row], (cell) => cell ?? ' ').join('');
    if (element.textContent !== text) {
      element.textContent = text;
    }
  }
}
