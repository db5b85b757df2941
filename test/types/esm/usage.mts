// Compiled with tsc --noEmit as an ES module: the package by its name, both
// import forms.
import vantarel, { time, recordTransaction, type Transaction } from 'vantarel';
// @ts-expect-error the package exports functions only
import { timeMillis } from 'vantarel';

const tx: Transaction = { transactionName: '/checkout', transactionTime: 154 };
recordTransaction(tx);
vantarel.recordTransaction(tx);
const now: number = time() - vantarel.cpuTime();
const same: typeof vantarel.time = time;

// @ts-expect-error a transaction is an object
recordTransaction('/checkout');

void [now, same, timeMillis];
